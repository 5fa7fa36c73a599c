// The module at work in a host: its pins, the choice of body, the statuses it
// reports, silence and Idle, driven through the built library's records only.
#include "module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "hosted_module.h"
#include "kernels.h"

namespace {

using namespace velmora::test;
using velmora::host::Instance;

TEST(ModulePins, ThreePinsAsDescribed) {
    Hosted m;
    PinProperties pin;
    ASSERT_TRUE(m.host.describePin(0, pin));
    EXPECT_STREQ(pin.name, "Signal");
    EXPECT_EQ(pin.direction, PinDirectionInput);
    EXPECT_EQ(pin.datatype, PinTypeAudio);
    EXPECT_STREQ(pin.defaultText, "0");
    EXPECT_EQ(pin.extraText, nullptr);
    EXPECT_EQ(pin.flags, 0);

    ASSERT_TRUE(m.host.describePin(1, pin));
    EXPECT_STREQ(pin.name, "Type");
    EXPECT_EQ(pin.direction, PinDirectionInput);
    EXPECT_EQ(pin.datatype, PinTypeEnum);
    EXPECT_STREQ(pin.defaultText, "1");
    EXPECT_STREQ(pin.extraText,
                 "Violin I= 1, Violin II=2, Violin III=3, Viola I=4, Viola II=5, Viol I=6, "
                 "Viol II=7, Cello I=8, Cello II=9, Bass=10, Contrabass=11, Oboe I=12, "
                 "Oboe II = 13, Cor Anglais I=14, Cor Anglais II=15, Sympathetic=16");
    EXPECT_EQ(pin.flags, 0);

    ASSERT_TRUE(m.host.describePin(2, pin));
    EXPECT_STREQ(pin.name, "Output");
    EXPECT_EQ(pin.direction, PinDirectionOutput);
    EXPECT_EQ(pin.datatype, PinTypeAudio);
    EXPECT_EQ(pin.defaultText, nullptr);
    EXPECT_EQ(pin.extraText, nullptr);

    for (int32_t other : {3, 4, -1, 1000})
        EXPECT_FALSE(m.host.describePin(other, pin)) << other;
    // The variables are the module's own, distinct for each pin.
    const auto& pins = m.host.pins();
    ASSERT_EQ(pins.size(), 3u);
    EXPECT_NE(pins[0].variable, pins[1].variable);
    EXPECT_NE(pins[0].variable, pins[2].variable);
}

TEST(ModuleOpen, InstallsTheKernelOfTheTypeWithOneProcessChanged) {
    Instance host(moduleLibrary());
    std::string error;
    ASSERT_TRUE(host.create(error)) << error;
    const ProcessFunction before = host.entry()->process;
    host.open();
    EXPECT_EQ(host.countRequests(PinCount), 1);
    EXPECT_EQ(host.requests.front().opcode, PinCount);
    EXPECT_EQ(host.countRequests(ProcessChanged), 1);
    EXPECT_NE(host.entry()->process, before);
    // The process record shown by opcode 13 follows the entry.
    EXPECT_EQ(host.processRecordInfo()->record->function, host.entry()->process);
}

TEST(ModuleOpen, OutOfRangeTypesPlayViolinIAndZeroThePassFilter) {
    const ProcessFunction violinI = Hosted(1).current();
    for (int16_t type : {int16_t{17}, int16_t{32767}, int16_t{-1}, int16_t{-32768}}) {
        EXPECT_EQ(Hosted(type).current(), violinI) << type;
    }
    Hosted pass(0);
    EXPECT_NE(pass.current(), violinI);
    pass.input[0] = 1.0f;
    pass.host.process(0, 4);
    EXPECT_FLOAT_EQ(pass.output[0], 0.9994f);
    EXPECT_FLOAT_EQ(pass.output[1], -0.00059964f);

    std::vector<ProcessFunction> kernels;
    for (int16_t type = 0; type < 17; ++type)
        kernels.push_back(Hosted(type).current());
    std::sort(kernels.begin(), kernels.end());
    EXPECT_EQ(std::unique(kernels.begin(), kernels.end()), kernels.end());
}

TEST(ModuleStatus, ActiveInputReportsItsStatusAndRunsTheKernel) {
    Hosted m(5);
    const ProcessFunction kernel = m.current();
    m.host.sampleClock = 777;
    m.take();
    m.host.sendPinStatus(kSignal, 3);
    const auto requests = m.take();
    ASSERT_EQ(count(requests, PinStatus), 1);
    for (const auto& r : requests) {
        if (r.opcode != PinStatus) continue;
        EXPECT_EQ(r.index, kOutput);
        EXPECT_EQ(r.value, 3);
        EXPECT_EQ(r.pointer, 777);
    }
    EXPECT_EQ(count(requests, ProcessChanged), 0);
    EXPECT_EQ(m.current(), kernel);
}

TEST(ModuleStatus, InactiveInputReportsFromTheOutputsCurrentSample) {
    struct Case {
        float current;
        int32_t input;
        int32_t reported;
    };
    for (const Case& c : {Case{0.0f, 0, 1}, Case{0.5f, 0, 0}, Case{1e-34f, 0, 1},
                          Case{-1e-33f, 0, 0}, Case{std::numeric_limits<float>::quiet_NaN(), 0, 0},
                          Case{0.0f, -5, 1}, Case{0.5f, 1, 1}, Case{0.5f, -5, -5}}) {
        Hosted m;
        // PinBufferClock 100 and SampleClock 103 put the current sample at element 3.
        m.host.bufferClocks[kOutput] = 100;
        m.host.sampleClock = 103;
        m.output[3] = c.current;
        m.host.sendPinStatus(kSignal, c.input);
        EXPECT_EQ(m.reportedStatus(), c.reported) << c.current << " " << c.input;
        EXPECT_NE(m.current(), Hosted().current()) << "the silence process runs";
    }
}

TEST(ModuleStatus, NothingChangedSendsPinStatusOnly) {
    Hosted m;
    m.host.sendPinStatus(kSignal, 2);
    m.take();
    m.host.sendPinStatus(kType, 0);  // whichever pin changed
    const auto requests = m.take();
    EXPECT_EQ(count(requests, PinStatus), 1);
    EXPECT_EQ(count(requests, ProcessChanged), 0);
}

// The first `frames` outputs are those of the type's body from a clear state.
void expectFreshKernelOutput(const Hosted& m, int type, int32_t frames) {
    Direct d(type);
    std::vector<float> expected(static_cast<size_t>(frames));
    d.run(type, m.input.data(), expected.data(), frames);
    for (int32_t i = 0; i < frames; ++i) {
        ASSERT_EQ(m.output[i], expected[i]) << i;
    }
}

// Silent blocks of `frames` and whether each sent Idle.
std::vector<bool> idleOverBlocks(Hosted& m, int32_t frames, int blocks) {
    std::vector<bool> idled;
    for (int b = 0; b < blocks; ++b) {
        m.take();
        m.host.process(0, frames);
        idled.push_back(count(m.take(), Idle) == 1);
    }
    return idled;
}

TEST(ModuleSilence, IdleAfterOneBlockSizeOfFrames) {
    {
        Hosted m;
        m.host.sendPinStatus(kSignal, 0);
        EXPECT_EQ(idleOverBlocks(m, 1024, 3), (std::vector<bool>{true, true, true}));
    }
    {
        Hosted m;
        m.host.sendPinStatus(kSignal, 0);
        EXPECT_EQ(idleOverBlocks(m, 512, 3), (std::vector<bool>{false, true, true}));
    }
    {
        Hosted m;
        m.host.setBlockSize(256);
        m.host.sendPinStatus(kSignal, 0);
        EXPECT_EQ(idleOverBlocks(m, 100, 4), (std::vector<bool>{false, false, true, true}));
    }
}

TEST(ModuleSilence, WritesZerosClearsTheStateAndLeavesTheInputAlone) {
    Hosted m(16);
    m.host.sendPinStatus(kSignal, 2);
    m.input = noise(4096);
    m.connect();
    m.host.process(0, 1024);
    m.host.sendPinStatus(kSignal, 0);
    std::fill(m.output.begin(), m.output.end(), 7.0f);
    m.host.process(10, 100);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(m.output[i], i >= 10 && i < 110 ? 0.0f : 7.0f) << i;
    }
    EXPECT_EQ(m.input, noise(4096));
    // A silent block of no frames writes nothing and asks for Idle only once
    // the countdown has run out.
    m.take();
    m.host.process(0, 0);
    m.host.process(0, -7);
    EXPECT_EQ(count(m.take(), Idle), 0);
    m.host.process(200, 924);
    m.take();
    m.host.process(0, 0);
    EXPECT_EQ(count(m.take(), Idle), 1);

    // Resuming starts from a clear state.
    m.host.sendPinStatus(kSignal, 2);
    m.host.process(0, 512);
    expectFreshKernelOutput(m, 16, 512);
}

TEST(ModuleSilence, CountdownNeitherWrapsNorCountsNegativeBlocks) {
    Hosted m;
    m.host.sendPinStatus(kSignal, 0);
    m.host.setBuffer(kOutput, nullptr);  // no samples to write: only the counting matters
    EXPECT_EQ(idleOverBlocks(m, -1000, 2), (std::vector<bool>{false, false}));
    // Half a day of silence at 44.1 kHz in huge blocks: Idle never stops.
    const auto idled = idleOverBlocks(m, 1 << 30, 8);
    EXPECT_EQ(idled, std::vector<bool>(8, true));
}

TEST(ModuleSilence, TypeChangeWhileSilentReloadsTheCountdownAndResumesWithoutAFade) {
    Hosted m(1);
    m.host.sendPinStatus(kSignal, 0);
    EXPECT_EQ(idleOverBlocks(m, 1024, 1), (std::vector<bool>{true}));
    m.host.setEnum(kType, 9);
    m.take();
    m.host.sendPinStatus(kType, 0);
    const auto requests = m.take();
    EXPECT_EQ(count(requests, PinStatus), 1);
    EXPECT_EQ(count(requests, ProcessChanged), 0);
    EXPECT_EQ(idleOverBlocks(m, 512, 2), (std::vector<bool>{false, true}));

    // Resuming: the history is clear, so there is nothing to fade from.
    m.input = noise(4096);
    m.connect();
    m.host.sendPinStatus(kSignal, 2);
    m.host.process(0, 256);
    expectFreshKernelOutput(m, 9, 256);
}

// --- A change of body: a short crossfade from the old body to the new ---

constexpr int32_t kFade = velmora::BodyFilter::kFadeFrames;

struct Played {
    std::vector<float> output;
    int processChanges = 0;  // ProcessChanged requests after open
};

// `signal` through the module, starting on bodies[0] and changing to each
// next body at the frame `changeAt` gives, in host blocks of `block` frames.
Played play(const std::vector<float>& signal, const std::vector<int16_t>& bodies,
            const std::vector<int32_t>& changeAt, int32_t block) {
    Hosted m(bodies[0]);
    m.host.sendPinStatus(kSignal, 2);
    m.take();
    Played played{std::vector<float>(signal.size())};
    int32_t position = 0;
    for (size_t i = 0; i < bodies.size(); ++i) {
        if (i > 0) {
            m.host.setEnum(kType, bodies[i]);
            m.host.sendPinStatus(kSignal, 2);
        }
        const int32_t end = i < changeAt.size() ? changeAt[i] : static_cast<int32_t>(signal.size());
        m.host.run(signal.data() + position, played.output.data() + position, end - position,
                   block);
        position = end;
    }
    played.processChanges = count(m.take(), ProcessChanged);
    return played;
}

// A body alone from a clear state, fed `signal` from frame `from` on.
std::vector<float> alone(int16_t body, const std::vector<float>& signal, int32_t from = 0) {
    return play({signal.begin() + from, signal.end()}, {body}, {}, 4096).output;
}

float peak(const std::vector<float>& x) {
    float p = 0.0f;
    for (float v : x)
        p = std::max(p, std::fabs(v));
    return p;
}

bool sameBits(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

uint64_t fnv1a(uint64_t hash, const std::vector<float>& x) {
    for (float v : x) {
        const auto bits = std::bit_cast<uint32_t>(v);
        for (int byte = 0; byte < 4; ++byte)
            hash = (hash ^ ((bits >> (8 * byte)) & 0xFF)) * 0x100000001b3ull;
    }
    return hash;
}

// Every ordered pair after a stretch of noise: before the change the old
// body alone; during the fade every sample between the old body's own (on
// its own history) and the new body's own (from a clear state at the
// change); after it the new body from a clear state, bit for bit. Carrying
// the old history into the new body gives bursts up to 1e12 times the
// bodies' levels. Every build gives the same bits (the hash).
TEST(ModuleBodyChange, EveryPairFadesWithinTheTwoBodiesOwnLevelsAndEndsAsTheNewBody) {
    constexpr int32_t kChange = 4096;
    const std::vector<float> signal = noise(kChange + 2 * kFade, 5);
    std::vector<std::vector<float>> whole, fresh;
    for (int16_t body = 0; body < 17; ++body) {
        whole.push_back(alone(body, signal));
        fresh.push_back(alone(body, signal, kChange));
    }
    uint64_t hash = 0xcbf29ce484222325ull;
    for (int16_t from = 0; from < 17; ++from) {
        for (int16_t to = 0; to < 17; ++to) {
            if (from == to) continue;
            const Played played = play(signal, {from, to}, {kChange}, 512);
            EXPECT_EQ(played.processChanges, 1);
            hash = fnv1a(hash, played.output);
            const auto& out = played.output;
            for (int32_t i = 0; i < static_cast<int32_t>(out.size()); ++i) {
                const float old = whole[static_cast<size_t>(from)][static_cast<size_t>(i)];
                if (i < kChange) {
                    ASSERT_TRUE(sameBits(out[i], old)) << from << " -> " << to << " frame " << i;
                    continue;
                }
                const float now = fresh[static_cast<size_t>(to)][static_cast<size_t>(i - kChange)];
                if (i < kChange + kFade) {
                    ASSERT_LE(std::fabs(out[i]), std::max(std::fabs(old), std::fabs(now)))
                        << from << " -> " << to << " frame " << i << ": " << out[i] << " between "
                        << old << " and " << now;
                } else {
                    ASSERT_TRUE(sameBits(out[i], now)) << from << " -> " << to << " frame " << i;
                }
            }
        }
    }
    EXPECT_EQ(hash, 0x30ba8cc335751327ull) << "0x" << std::hex << hash;
}

// Changes every 64 frames, swinging between the quietest bodies inside and
// the loudest: the output never rises above the loudest body's own level,
// and once the changes stop it ends as the last body from a clear state.
TEST(ModuleBodyChange, ANewBodyEvery64FramesStaysWithinTheBodiesLevels) {
    constexpr int32_t kStart = 4096, kEvery = 64, kChanges = 200;
    const std::vector<float> signal = noise(kStart + kEvery * kChanges + 2 * kFade, 6);
    std::vector<int16_t> bodies{0};
    std::vector<int32_t> changeAt;
    for (int32_t k = 1; k <= kChanges; ++k) {
        bodies.push_back(static_cast<int16_t>(k * 7 % 17));
        changeAt.push_back(kStart + kEvery * (k - 1));
    }
    float loudest = 0.0f;
    for (int16_t body = 0; body < 17; ++body)
        loudest = std::max(loudest, peak(alone(body, signal)));

    const Played played = play(signal, bodies, changeAt, kEvery);
    EXPECT_EQ(played.processChanges, kChanges);
    EXPECT_LE(peak(played.output), loudest);
    const std::vector<float> last = alone(bodies.back(), signal, changeAt.back());
    for (size_t i = static_cast<size_t>(changeAt.back() + kFade); i < signal.size(); ++i) {
        ASSERT_TRUE(sameBits(played.output[i], last[i - static_cast<size_t>(changeAt.back())]))
            << i;
    }
}

// The body playing, chosen again, or a value that plays the same body (every
// value outside 0 to 16 plays Violin I), is no change: no fade, no
// ProcessChanged, the same bits as if nothing had happened.
TEST(ModuleBodyChange, TheSameBodyAgainChangesNoBit) {
    struct Case {
        int16_t from, to;
    };
    const std::vector<float> signal = noise(6000, 8);
    for (const Case c : {Case{5, 5}, Case{0, 0}, Case{16, 16}, Case{1, 17}, Case{17, 1},
                         Case{1, -1}, Case{32767, -32768}}) {
        const Played played = play(signal, {c.from, c.to}, {1000}, 500);
        EXPECT_EQ(played.processChanges, 0) << c.from << " -> " << c.to;
        EXPECT_EQ(played.output, alone(c.from, signal)) << c.from << " -> " << c.to;
    }
}

// A fade, and a change in the middle of it, cut into blocks of any size.
TEST(ModuleBodyChange, BlockSplitsGiveTheSameBitsAcrossAFade) {
    const std::vector<float> signal = noise(6000, 9);
    const std::vector<int16_t> bodies{16, 12, 0};
    const std::vector<int32_t> changeAt{2048, 2048 + 700};
    const Played whole = play(signal, bodies, changeAt, 8192);
    for (int32_t block : {1, 7, 64, 300, 1024}) {
        EXPECT_EQ(play(signal, bodies, changeAt, block).output, whole.output) << block;
    }
}

TEST(ModuleHostile, TooFewPinsMeansStatusChangesDoNothing) {
    for (int32_t pins : {0, 1, 2}) {
        Hosted m(1, pins);
        const ProcessFunction kernel = m.current();
        m.take();
        for (int32_t pin = 0; pin < 3; ++pin)
            m.host.sendPinStatus(pin, 0);
        EXPECT_TRUE(m.take().empty()) << pins << " pins";
        EXPECT_EQ(m.current(), kernel);
    }
}

// A whole life: describe, create, open, rate and block size, play a signal
// through several bodies with changes, fall silent, idle, resume, close.
TEST(ModuleLife, FromOpenToCloseMatchesTheKernels) {
    ModuleProperties properties{};
    ASSERT_EQ(moduleLibrary().getModuleProperties()(0, &properties), 1);
    EXPECT_STREQ(properties.name, "Velmora");

    const std::vector<float> signal = noise(48000, 7);
    std::vector<float> output(signal.size(), -1.0f);
    const std::vector<float> original = signal;
    Instance host(moduleLibrary());
    std::string error;
    ASSERT_TRUE(host.create(error)) << error;
    host.open();
    host.setSampleRate(48000.0f);
    host.setBlockSize(480);
    host.sendPinStatus(kSignal, 2);

    Direct d;
    std::vector<float> expected(signal.size());
    struct Scene {
        int16_t type;
        int32_t status;
        int32_t frames;
    };
    const Scene scenes[] = {{1, 2, 4800}, {12, 2, 9600}, {16, 3, 4800}, {16, 0, 4800},
                            {3, 0, 960},  {3, 2, 9600},  {0, 2, 4800},  {11, 2, 8640}};
    int32_t position = 0;
    for (const Scene& s : scenes) {
        host.setEnum(kType, s.type);
        host.sendPinStatus(kSignal, s.status);
        host.clearRequests();
        host.run(signal.data() + position, output.data() + position, s.frames, 480);
        if (s.status < 2) {
            d.filter.clear();
            std::fill_n(expected.begin() + position, s.frames, 0.0f);
            EXPECT_GT(host.countRequests(Idle), 0);
        } else {
            for (int32_t b = 0; b < s.frames; b += 480) {
                d.run(s.type, signal.data() + position + b, expected.data() + position + b, 480);
            }
            EXPECT_EQ(host.countRequests(Idle), 0);
        }
        position += s.frames;
    }
    ASSERT_EQ(position, static_cast<int32_t>(signal.size()));
    for (size_t i = 0; i < signal.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(output[i]), std::bit_cast<uint32_t>(expected[i])) << i;
    }
    EXPECT_EQ(signal, original);
    host.close();
    EXPECT_FALSE(host.alive());
}

TEST(ModuleLife, TwoInstancesShareNothingButTheProcessRecordAnswer) {
    const std::vector<float> signal = noise(8192, 3);
    std::vector<float> outA(8192), outB(8192), aloneA(8192), aloneB(8192);
    {
        Hosted a(4), b(13);
        a.host.sendPinStatus(kSignal, 2);
        b.host.sendPinStatus(kSignal, 2);
        for (int32_t p = 0; p < 8192; p += 256) {
            a.host.run(signal.data() + p, outA.data() + p, 256, 256);
            b.host.run(signal.data() + p, outB.data() + p, 256, 256);
            if (p == 4096) {
                b.host.setEnum(kType, 2);
                b.host.sendPinStatus(kSignal, 2);
            }
        }
        auto* infoA = a.host.processRecordInfo();
        auto* infoB = b.host.processRecordInfo();
        EXPECT_NE(infoA, infoB);
        EXPECT_NE(infoA->record, infoB->record);
    }
    {
        Hosted a(4);
        a.host.sendPinStatus(kSignal, 2);
        a.host.run(signal.data(), aloneA.data(), 8192, 256);
        Hosted b(13);
        b.host.sendPinStatus(kSignal, 2);
        b.host.run(signal.data(), aloneB.data(), 4352, 256);
        b.host.setEnum(kType, 2);
        b.host.sendPinStatus(kSignal, 2);
        b.host.run(signal.data() + 4352, aloneB.data() + 4352, 8192 - 4352, 256);
    }
    EXPECT_EQ(outA, aloneA);
    EXPECT_EQ(outB, aloneB);
}

}  // namespace
