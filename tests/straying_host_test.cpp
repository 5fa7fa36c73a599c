// The module under hosts that stray from what the interface asks of them:
// clocks that drift apart, absurd pin counts, negative offsets, a NaN in the
// input, floating-point modes of the host's own, answers read on other
// threads, opens from inside a request. Reached through the built library
// only, on both builds; the sanitizer and valgrind runs see the memory.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "hosted_module.h"
#include "kernels.h"

namespace {

using namespace velmora::test;
using velmora::kTypeCount;
using velmora::host::Instance;

bool sameBits(const std::vector<float>& a, const std::vector<float>& b, size_t& where) {
    for (where = 0; where < std::min(a.size(), b.size()); ++where) {
        if (std::bit_cast<uint32_t>(a[where]) != std::bit_cast<uint32_t>(b[where])) return false;
    }
    return a.size() == b.size();
}

TEST(StrayingHost, ClocksOutsideTheBlockReadAsSilence) {
    struct Case {
        int32_t bufferClock;
        int32_t sampleClock;
        int32_t reported;
    };
    // The host's buffers hold a block size of frames (256 here); the element
    // at the clock is read only inside them. A host that answers
    // PinBufferClock with 0 while its clock runs on must not crash the module.
    for (const Case& c : {Case{100, 100 + 255, 0}, Case{100, 100 + 256, 1}, Case{100, 100 + 300, 1},
                          Case{0, 2'000'000, 1}, Case{0, INT32_MAX, 1}, Case{0, INT32_MIN, 1},
                          Case{INT32_MIN, INT32_MAX, 1}, Case{5, 4, 1},
                          // The clocks wrap: 16 samples after INT32_MAX - 10 is INT32_MIN + 5.
                          Case{INT32_MAX - 10, INT32_MIN + 5, 0}}) {
        Hosted m;
        m.host.setBlockSize(256);
        std::fill(m.output.begin(), m.output.end(), 0.5f);
        m.host.bufferClocks[kOutput] = c.bufferClock;
        m.host.sampleClock = c.sampleClock;
        m.host.sendPinStatus(kSignal, 0);
        EXPECT_EQ(m.reportedStatus(), c.reported) << c.bufferClock << " " << c.sampleClock;
    }
}

TEST(StrayingHost, AbsurdPinCountMakesAtMostTheCapAndPlays) {
    for (int32_t count : {400'000'000, INT32_MAX}) {
        Instance host(moduleLibrary());
        std::string error;
        ASSERT_TRUE(host.create(error)) << error;
        host.pinCount = count;
        host.open();
        std::vector<float> input = noise(512), output(512), expected(512);
        ASSERT_TRUE(host.setBuffer(kSignal, input.data()));
        ASSERT_TRUE(host.setBuffer(kOutput, output.data()));
        host.sendPinStatus(kSignal, 2);
        host.clearRequests();
        // Pins past the ones made do not exist: their events are dropped.
        host.sendPinStatus(count - 1, 0);
        host.sendPinStatus(65536, 0);
        EXPECT_TRUE(host.requests.empty()) << count;
        host.process(0, 512);
        Direct d(1);
        d.run(1, input.data(), expected.data(), 512);
        EXPECT_EQ(output, expected) << count;
    }
}

// A negative offset is a call without frames, for every kernel and for
// silence: nothing is written, before the buffer or in it, and what follows
// plays as if the call had not been made.
TEST(StrayingHost, NegativeOffsetsAreCallsWithoutFrames) {
    constexpr int32_t kLead = 64;  // room before the buffers the module is given
    for (int type = 0; type < kTypeCount; ++type) {
        Hosted m(static_cast<int16_t>(type));
        m.host.sendPinStatus(kSignal, 2);
        m.input = noise(4096);
        std::fill(m.output.begin(), m.output.end(), 7.0f);
        m.host.setBuffer(kSignal, m.input.data() + kLead);
        m.host.setBuffer(kOutput, m.output.data() + kLead);
        m.host.process(0, 256);
        const std::vector<float> before = m.output;
        for (const int32_t offset : {-1, -kLead, INT32_MIN}) {
            m.host.process(offset, 32);
            m.host.process(offset, kLead);
        }
        EXPECT_EQ(m.output, before) << "type " << type;
        m.host.process(256, 256);

        Direct d(type);
        std::vector<float> expected(512);
        d.run(type, m.input.data() + kLead, expected.data(), 512);
        size_t where = 0;
        const std::vector<float> played(m.output.begin() + kLead, m.output.begin() + kLead + 512);
        EXPECT_TRUE(sameBits(played, expected, where)) << "type " << type << ", frame " << where;
    }

    Hosted m;
    m.host.setBuffer(kOutput, m.output.data() + kLead);
    m.host.sendPinStatus(kSignal, 0);
    std::fill(m.output.begin(), m.output.end(), 7.0f);
    m.take();
    m.host.process(-1, 2000);  // counts no frames towards Idle
    m.host.process(INT32_MIN, 2000);
    EXPECT_EQ(count(m.take(), Idle), 0);
    EXPECT_EQ(m.output, std::vector<float>(4096, 7.0f));
    m.host.process(0, 1024);
    EXPECT_EQ(count(m.take(), Idle), 1);
    m.host.process(-1, 0);  // the countdown has run out: Idle on every call
    EXPECT_EQ(count(m.take(), Idle), 1);
}

// One NaN or infinity in the input spoils the rest of its block and no more:
// the next block starts from a clear history, as after open.
TEST(StrayingHost, ANonFiniteSampleIsForgottenAfterItsBlock) {
    constexpr int32_t kFrames = 44100;
    constexpr int32_t kBlock = 512;
    constexpr int32_t kPoisoned = 1000;
    constexpr int32_t kNextBlock = (kPoisoned / kBlock + 1) * kBlock;
    const std::vector<float> clean = noise(kFrames, 5);
    for (const float poison :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity()}) {
        std::vector<float> input = clean;
        input[kPoisoned] = poison;
        for (int type = 0; type < kTypeCount; ++type) {
            Hosted m(static_cast<int16_t>(type));
            m.host.sendPinStatus(kSignal, 2);
            std::vector<float> output(kFrames);
            m.host.run(input.data(), output.data(), kFrames, kBlock);
            const auto spoiled = std::count_if(output.begin(), output.end(),
                                               [](float v) { return !std::isfinite(v); });
            EXPECT_LE(spoiled, kNextBlock - kPoisoned) << "type " << type << ", " << poison;

            Hosted fresh(static_cast<int16_t>(type));
            fresh.host.sendPinStatus(kSignal, 2);
            std::vector<float> expected(kFrames - kNextBlock);
            fresh.host.run(input.data() + kNextBlock, expected.data(), kFrames - kNextBlock,
                           kBlock);
            size_t where = 0;
            const std::vector<float> after(output.begin() + kNextBlock, output.end());
            EXPECT_TRUE(sameBits(after, expected, where))
                << "type " << type << ", " << poison << ": frame " << kNextBlock + where;
        }
    }
}

// The floating-point modes a host may run with. The module computes in its
// own (round to nearest, subnormals kept, exceptions masked) and gives the
// host's back on return.
struct HostModes {
    const char* name;
    unsigned mxcsr;
};
constexpr unsigned kDefaultModes = 0x1F80;  // exceptions masked, round to nearest
constexpr unsigned kControlBits = 0xFFC0;   // the register less its sticky flags
constexpr HostModes kHostModes[] = {
    {"round down", kDefaultModes | 0x2000},
    {"round up", kDefaultModes | 0x4000},
    {"round toward zero", kDefaultModes | 0x6000},
    {"flush to zero", kDefaultModes | 0x8000},
    {"denormals are zero", kDefaultModes | 0x0040},
    {"flush to zero, denormals are zero, round down", kDefaultModes | 0xA040},
    {"every exception unmasked", 0x0000},
};

// Loud noise, noise near the bottom of the float range, then silence while
// the history decays through the subnormal doubles: where the modes would
// show if the module computed in the host's.
std::vector<float> modeProbe() {
    std::vector<float> x = noise(4096, 11);
    for (size_t i = 1024; i < 2048; ++i)
        x[i] *= 1e-36f;
    std::fill(x.begin() + 2048, x.end(), 0.0f);
    x[2100] = 1e-38f;
    return x;
}

// `input` through a new instance of `type` in blocks of 256, each process
// call made under `modes`; answers the output, and counts the calls after
// which the host's modes were not as it had set them.
std::vector<float> playUnder(int type, unsigned modes, const std::vector<float>& input,
                             int& changedModes) {
    Hosted m(static_cast<int16_t>(type));
    m.host.sendPinStatus(kSignal, 2);
    m.input = input;
    m.connect();
    for (int32_t offset = 0; offset < static_cast<int32_t>(input.size()); offset += 256) {
        const unsigned host = _mm_getcsr();
        _mm_setcsr(modes);
        m.host.process(offset, 256);
        const unsigned after = _mm_getcsr();
        _mm_setcsr(host);
        changedModes += (after & kControlBits) != (modes & kControlBits);
    }
    return m.output;
}

// Whether the processor keeps `modes` when they are set: an emulator such as
// valgrind's keeps only the rounding mode.
bool machineKeeps(unsigned modes) {
    const unsigned host = _mm_getcsr();
    _mm_setcsr(modes);
    const unsigned kept = _mm_getcsr();
    _mm_setcsr(host);
    return (kept & kControlBits) == (modes & kControlBits);
}

TEST(StrayingHost, EveryBodySoundsTheSameWhateverTheHostsFloatingPointModes) {
    std::vector<HostModes> modesToPlay;
    for (const HostModes& modes : kHostModes) {
        if (machineKeeps(modes.mxcsr)) modesToPlay.push_back(modes);
    }
    if (modesToPlay.empty()) GTEST_SKIP() << "this machine keeps none of the host's modes";
    const std::vector<float> input = modeProbe();
    for (int type = 0; type < kTypeCount; ++type) {
        int changed = 0;
        const std::vector<float> expected = playUnder(type, kDefaultModes, input, changed);
        for (const HostModes& modes : modesToPlay) {
            const std::vector<float> output = playUnder(type, modes.mxcsr, input, changed);
            size_t where = 0;
            EXPECT_TRUE(sameBits(output, expected, where))
                << "type " << type << " under " << modes.name << ": frame " << where << " is "
                << output[where] << " where " << expected[where] << " was expected";
            EXPECT_EQ(changed, 0) << "type " << type << " changed the host's modes (" << modes.name
                                  << ")";
        }
    }
}

// A host may ask opcode 13 on one thread and read the answer on another,
// after the first has ended: the record is the instance's, for its life.
TEST(StrayingHost, TheProcessRecordAnswerIsTheInstancesOwn) {
    Hosted a, b;
    const ProcessRecordInfo* infoA = nullptr;
    std::thread([&] { infoA = a.host.processRecordInfo(); }).join();
    ASSERT_NE(infoA, nullptr);
    EXPECT_EQ(infoA->record->function, a.current());
    const ProcessRecordInfo* infoB = b.host.processRecordInfo();
    EXPECT_NE(infoB, infoA);
    a.host.sendPinStatus(kSignal, 0);  // installs silence
    EXPECT_EQ(a.host.processRecordInfo(), infoA);
    EXPECT_EQ(infoA->record->function, a.current());
    EXPECT_NE(infoB->record->function, a.current());
}

// A host that opens the instance again from inside its answer to a request
// that a status change sends; the event then goes on over the new pins.
struct ReopeningHost {
    int32_t reopenOn;
    int reopens = 1;
    ModuleEntry* entry = nullptr;
    std::vector<float> input = noise(512), output = std::vector<float>(512);

    static intptr_t SE_CDECL callback(ModuleEntry* entry, int32_t opcode, int32_t, int32_t, void*,
                                      float) {
        auto* host = reinterpret_cast<ReopeningHost*>(entry->hostValue);
        if (opcode == PinCount) return 3;
        if (opcode == host->reopenOn && host->reopens-- > 0)
            entry->dispatch(entry, OpcodeOpen, 0, 0, nullptr, 0.0f);
        return 0;
    }
    void send(int32_t pin, int32_t status) {
        ModuleEvent event{0, EventPinStatus, status, 0, 0, pin};
        entry->event(entry->module, &event);
    }
    void connect(int32_t pin, float* buffer) {
        PinProperties declaration{};
        entry->dispatch(entry, OpcodeGetPinProperties, pin, 0, &declaration, 0.0f);
        *static_cast<float**>(declaration.variable) = buffer;
    }
};

TEST(StrayingHost, OpeningAgainFromInsideARequestIsSafe) {
    for (const int32_t request : {PinStatus, ProcessChanged, SampleClock, PinBufferClock}) {
        for (const int32_t status : {0, 1, 2}) {
            ReopeningHost host{request};
            host.entry = moduleLibrary().makeModule()(0, 1, &ReopeningHost::callback,
                                                      reinterpret_cast<intptr_t>(&host));
            ASSERT_NE(host.entry, nullptr);
            host.entry->dispatch(host.entry, OpcodeOpen, 0, 0, nullptr, 0.0f);
            host.connect(kSignal, host.input.data());
            host.connect(kOutput, host.output.data());
            host.send(kSignal, status);
            host.send(kSignal, status);
            host.send(kSignal, 2);
            host.entry->process(host.entry->module, 0, 512);
            Direct d;
            std::vector<float> expected(512);
            d.run(1, host.input.data(), expected.data(), 512);
            EXPECT_EQ(host.output, expected) << "request " << request << ", status " << status;
            EXPECT_EQ(host.entry->dispatch(host.entry, OpcodeClose, 0, 0, nullptr, 0.0f), 1);
        }
    }
}

// A host that runs with the invalid-operation exception unmasked and leaves
// a signalling NaN where the module reads the output's current sample: the
// module judges it without trapping, and a NaN leaves the input's status.
TEST(StrayingHost, ASignallingNaNInTheOutputDoesNotTrap) {
    constexpr unsigned kInvalidUnmasked = kDefaultModes & ~0x0080u;
    if (!machineKeeps(kInvalidUnmasked)) GTEST_SKIP() << "this machine masks every exception";
    Hosted m;
    m.output[0] = std::bit_cast<float>(0x7FA00000u);  // signalling NaN
    const unsigned host = _mm_getcsr();
    _mm_setcsr(kInvalidUnmasked);
    m.host.sendPinStatus(kSignal, 0);
    _mm_setcsr(host);
    EXPECT_EQ(m.reportedStatus(), 0);
}

}  // namespace
