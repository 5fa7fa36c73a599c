// libFuzzer target: the input bytes are a program of host actions (create,
// open, close, type values, pin status and other events, opcodes, buffer
// contents and process calls) against up to four instances of the module,
// linked in and built with the sanitizers. The host bends the interface as
// far as it can without breaking its own promises: any PinCount, clocks that
// drift apart and wrap, negative offsets, frame counts down to INT32_MIN,
// statuses of any 32-bit value, opcode 13 asked of every instance in turn;
// its buffers always hold what it promised (the frames of the call, and a
// block size of frames where the module reads the output's current sample).
//
// Besides crashes and sanitizer reports, every action is held against the
// validator's model of the module's rules: the requests sent, the process
// function installed, zeros from silence, finite output for sane input (also
// after a NaN), the input buffer untouched, nothing written outside the
// block. The program then runs a second time with every process call split
// in two, in-place buffers swapped for separate ones (and back), and the
// process calls and status events made under floating-point modes of the
// host's choosing (rounding, flush to zero, denormals are zero): the outputs
// must have the same bits (while the history holds nothing that could leave
// it not finite), the host's modes must be as it set them, and the
// notifications other than Idle must be the same.
//
// VELMORA_FUZZ_TRACE=1 module_fuzz FILE lists the actions of one input.
#include <xmmintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "abi.h"
#include "module.h"
#include "process_functions.h"
#include "rules.h"

extern "C" int32_t getModuleProperties(int32_t index, ModuleProperties* record) noexcept;
extern "C" ModuleEntry* makeModule(int32_t index, int32_t kind, HostCallback callback,
                                   intptr_t hostValue) noexcept;

namespace {

using namespace velmora::validate;

constexpr int kSlots = 4;
constexpr int kMostActions = 400;
constexpr int32_t kMostFrames = 2048;
constexpr int32_t kRoom = 64;  // for offsets, what lies past the block and before the buffer

// The host's floating-point modes the second run may call the module in:
// MXCSR's rounding, flush-to-zero and denormals-are-zero bits.
constexpr uint32_t kHostModes[] = {0x0000, 0x2000, 0x4000, 0x6000, 0x8000, 0x0040, 0x8040, 0xE040};
constexpr uint32_t kModeBits = 0xE040;

// The host's 32-bit sample clock, which wraps.
int32_t clockPlus(int32_t clock, int64_t samples) {
    return static_cast<int32_t>(static_cast<uint32_t>(clock) + static_cast<uint32_t>(samples));
}

[[noreturn]] void finding(const char* what, int action) {
    std::fprintf(stderr, "\nmodule_fuzz: action %d: %s\n", action, what);
    std::abort();
}

float marker() {
    const uint32_t bits = 0x7FC0DEADu;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class Bytes {
  public:
    Bytes(const uint8_t* d, size_t n) : data(d), size(n) {}
    bool empty() const { return at >= size; }
    uint8_t u8() { return at < size ? data[at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    int32_t i32() { return static_cast<int32_t>(u16() | (static_cast<uint32_t>(u16()) << 16)); }
    float f32() {
        const uint32_t bits = static_cast<uint32_t>(i32());
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

  private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

// What a run produced that the other run must reproduce.
struct Transcript {
    std::vector<float> output;
    std::vector<Notice> notices;  // without Idle, whose count follows the calls
};

struct Slot;

intptr_t SE_CDECL callback(ModuleEntry* entry, int32_t opcode, int32_t index, int32_t value,
                           void* pointer, float floatValue);

struct Slot {
    explicit Slot(const Layout& layout) : rules(layout) {}

    ModuleEntry* entry = nullptr;
    Rules rules;
    int32_t pinCount = 3;
    int32_t sampleClock = 0;
    std::array<int32_t, 8> bufferClocks{};
    std::vector<PinProperties> pins;
    std::vector<Notice> received;
    std::vector<float> in, out, copy;
    float* inVariable = nullptr;
    float* outVariable = nullptr;
    int16_t type = 1;
    int32_t blockSize = 1024;
    const ProcessRecord* record = nullptr;    // as opcode 13 first named it
    const ProcessRecordInfo* info = nullptr;  // opcode 13's first answer
    // The kernel's history holds huge input, which no filter promises to keep
    // finite. A NaN or an infinity does not taint it: the call that takes one
    // in clears a history that is not finite at its end.
    bool tainted = false;
    // The history may differ between the two runs: a split call clears a
    // history that is not finite at its split, the whole call only at its
    // end. The runs are compared again once the history is cleared.
    bool diverged = false;
};

intptr_t SE_CDECL callback(ModuleEntry* entry, int32_t opcode, int32_t index, int32_t, void*,
                           float) {
    auto* slot = reinterpret_cast<Slot*>(entry->hostValue);
    switch (opcode) {
        case PinCount:
            return slot->pinCount;
        case SampleClock:
            return slot->sampleClock;
        case PinBufferClock:
            return index >= 0 && index < 8 ? slot->bufferClocks[static_cast<size_t>(index)] : 0;
        default:
            return 0;
    }
}

intptr_t SE_CDECL recordingCallback(ModuleEntry* entry, int32_t opcode, int32_t index,
                                    int32_t value, void* pointer, float floatValue) {
    auto* slot = reinterpret_cast<Slot*>(entry->hostValue);
    if (!isKnownRequest(opcode)) finding("a request hosts do not know", -1);
    if (isNotice(opcode)) {
        slot->received.push_back({opcode, opcode == PinStatus ? index : 0,
                                  opcode == PinStatus ? value : 0,
                                  opcode == PinStatus ? reinterpret_cast<intptr_t>(pointer) : 0});
    }
    return callback(entry, opcode, index, value, pointer, floatValue);
}

ProcessFunction expectedFunction(const ProcessKind& kind) {
    switch (kind.kind) {
        case ProcessKind::Initial:
            return emptyProcess;
        case ProcessKind::Silence:
            return Module::processSilence;
        case ProcessKind::Kernel:
            return velmora::processFunctionForType(kind.type);
    }
    return nullptr;
}

void operation(void* module) {
    if (module == nullptr) finding("an operation ran on no module", -1);
}

class Run {
  public:
    Run(const Layout& l, bool s) : layout(l), second(s) {}
    ~Run() {
        for (auto& slot : slots)
            close(slot);
    }

    void execute(Bytes bytes) {
        for (action = 0; action < kMostActions && !bytes.empty(); ++action) {
            const int index = bytes.u8() % kSlots;
            const uint8_t op = bytes.u8();
            // An action for an instance not yet made makes it.
            const bool needsInstance = op % 16 != 14 && op % 16 != 15;
            step(index, !slots[static_cast<size_t>(index)] && needsInstance ? 0 : op, bytes);
        }
    }

    Transcript transcript;

  private:
    void expect(bool condition, const char* what) {
        if (!condition) finding(what, action);
    }

    void expectNotices(Slot& slot, const std::vector<Notice>& expected) {
        std::vector<Notice> got = slot.received;
        slot.received.clear();
        expect(got == expected, "the module's notifications are not the rules'");
        for (const Notice& n : got) {
            if (n.opcode != Idle) transcript.notices.push_back(n);
        }
    }

    void expectInstalled(Slot& slot) {
        expect(slot.entry->process == expectedFunction(slot.rules.current()),
               "the process function is not the rules'");
    }

    void create(int index, Bytes& bytes) {
        auto& slot = slots[static_cast<size_t>(index)];
        close(slot);
        slot = std::make_unique<Slot>(layout);
        static constexpr int32_t counts[] = {3, 3, 3, 3, 3, 0, 1, 2, 4, -1, 3, 3, 5, 3, 3, 3};
        const uint8_t count = bytes.u8();
        slot->pinCount = count < 240 ? counts[count % 16] : bytes.i32();
        slot->entry = makeModule(0, 1, recordingCallback, reinterpret_cast<intptr_t>(slot.get()));
        expect(slot->entry != nullptr, "makeModule answered null");
        for (int32_t i = 0; i < 8; ++i) {
            PinProperties pin{};
            if (dispatch(*slot, OpcodeGetPinProperties, i, 0, &pin, 0.0f) != 1) break;
            slot->pins.push_back(pin);
        }
        setType(*slot, layout.defaultType);
        expectNotices(*slot, {});
        expectInstalled(*slot);
    }

    void close(std::unique_ptr<Slot>& slot) {
        if (!slot) return;
        slot->entry->dispatch(slot->entry, OpcodeClose, 0, 0, nullptr, 0.0f);
        slot.reset();
    }

    intptr_t dispatch(Slot& slot, int32_t opcode, int32_t index, int32_t value, void* pointer,
                      float floatValue) {
        return slot.entry->dispatch(slot.entry, opcode, index, value, pointer, floatValue);
    }

    void setType(Slot& slot, int16_t value) {
        slot.type = value;
        *static_cast<int16_t*>(slot.pins[static_cast<size_t>(layout.type)].variable) = value;
    }

    void setAudio(Slot& slot, int32_t pin, float* buffer) {
        *static_cast<float**>(slot.pins[static_cast<size_t>(pin)].variable) = buffer;
    }

    int32_t samplePosition(const Slot& slot) const {
        return Rules::samplePosition(slot.sampleClock,
                                     slot.bufferClocks[static_cast<size_t>(layout.output)]);
    }

    // Samples the output buffer holds from the address the module was given.
    int64_t outputCapacity(const Slot& slot) const {
        return static_cast<int64_t>(slot.out.size()) - kRoom;
    }

    float currentSample(const Slot& slot) const {
        const int32_t position = samplePosition(slot);
        if (slot.outVariable == nullptr || !slot.rules.readsSampleAt(position)) return 0.0f;
        return slot.outVariable[position];
    }

    // A host's buffers hold the block size of frames it promised. Clocks that
    // drifted may point inside that promise but past the buffer this host
    // keeps; before the module looks, the host moves its buffer's clock past
    // the sample clock, where nothing may be read.
    void keepBufferPromise(Slot& slot) {
        const int32_t position = samplePosition(slot);
        if (slot.outVariable != nullptr && slot.rules.readsSampleAt(position) &&
            position >= outputCapacity(slot)) {
            slot.bufferClocks[static_cast<size_t>(layout.output)] = clockPlus(slot.sampleClock, 1);
        }
    }

    // The second run calls the module in modes of the host's choosing; the
    // first in the default ones. The bits must not differ, and the host's
    // modes must be as it set them afterwards.
    template <class Call>
    void underHostModes(uint8_t choice, Call call) {
        if (!second) {
            call();
            return;
        }
        const uint32_t usual = _mm_getcsr();
        const uint32_t modes = (usual & ~kModeBits) | kHostModes[choice % std::size(kHostModes)];
        _mm_setcsr(modes);
        call();
        const uint32_t after = _mm_getcsr();
        _mm_setcsr(usual);
        expect((after & 0xFFC0) == (modes & 0xFFC0), "the module changed the host's FP modes");
    }

    void step(int index, uint8_t op, Bytes& bytes) {
        static constexpr const char* names[] = {
            "create",        "close",       "open",
            "type",          "pin status",  "pin status",
            "block size",    "sample rate", "process",
            "process",       "process",     "current sample and clocks",
            "another event", "an opcode",   "getModuleProperties",
            "makeModule"};
        static const bool tracing = std::getenv("VELMORA_FUZZ_TRACE") != nullptr;
        if (tracing && !second)
            std::fprintf(stderr, "%4d  instance %d: %s\n", action, index, names[op % 16]);
        auto& owned = slots[static_cast<size_t>(index)];
        switch (op % 16) {
            case 0:
                create(index, bytes);
                return;
            case 14:
                properties(bytes);
                return;
            case 15:
                strayInstance(bytes);
                return;
            default:
                break;
        }
        Slot& slot = *owned;
        switch (op % 16) {
            case 1:
                close(owned);
                return;
            case 2: {
                const std::vector<Notice> expected = slot.rules.open(slot.pinCount, slot.type);
                dispatch(slot, OpcodeOpen, 0, 0, nullptr, 0.0f);
                slot.tainted = slot.diverged = false;
                expectNotices(slot, expected);
                break;
            }
            case 3: {
                const uint8_t b = bytes.u8();
                setType(slot,
                        b < 200 ? static_cast<int16_t>(b % 18) : static_cast<int16_t>(bytes.u16()));
                break;
            }
            case 4:
            case 5:
                pinStatus(slot, bytes);
                break;
            case 6: {
                static constexpr int32_t sizes[] = {1, 7, 64, 1024, 4096, 0, -1, 256};
                const uint8_t b = bytes.u8();
                const int32_t size = b < 240 ? sizes[b % 8] : bytes.i32();
                slot.rules.setBlockSize(size);
                slot.blockSize = size;
                dispatch(slot, OpcodeSetBlockSize, 0, size, nullptr, 0.0f);
                expectNotices(slot, {});
                break;
            }
            case 7:
                dispatch(slot, OpcodeSetSampleRate, 0, 0, nullptr, bytes.f32());
                expectNotices(slot, {});
                break;
            case 8:
            case 9:
            case 10:
                process(slot, bytes);
                break;
            case 11:
                currentSampleAndClocks(slot, bytes);
                break;
            case 12:
                otherEvent(slot, bytes);
                break;
            case 13:
                opcode(slot, bytes);
                break;
        }
        expectInstalled(slot);
    }

    void pinStatus(Slot& slot, Bytes& bytes) {
        const uint8_t which = bytes.u8();
        intptr_t pin = which % 6 - 1;
        if (which >= 250) pin = which % 2 == 0 ? std::numeric_limits<intptr_t>::max() : 1000;
        const uint8_t kind = bytes.u8();
        const int32_t status = kind < 224 ? static_cast<int8_t>(kind) : bytes.i32();
        const uint8_t modes = bytes.u8();
        keepBufferPromise(slot);
        const std::vector<Notice> expected =
            slot.rules.pinStatus(pin, status, slot.type, currentSample(slot), slot.sampleClock);
        ModuleEvent event{};
        event.type = EventPinStatus;
        event.value = status;
        event.pointer = pin;
        underHostModes(modes, [&] { slot.entry->event(slot.entry->module, &event); });
        expectNotices(slot, expected);
    }

    void currentSampleAndClocks(Slot& slot, Bytes& bytes) {
        const uint8_t how = bytes.u8();
        int32_t& bufferClock = slot.bufferClocks[static_cast<size_t>(layout.output)];
        if (how < 64 && slot.outVariable != nullptr) {
            // A value of the host's choosing where the module reads the output's sample.
            static constexpr float values[] = {0.0f,   -0.0f,    1e-35f, 2.9e-34f,
                                               3e-34f, 3.1e-34f, 1e-30f, 1.0f};
            const int32_t position = samplePosition(slot);
            const float value = how < 32 ? values[how % 8] : bytes.f32();
            if (position >= 0 && position < outputCapacity(slot)) {
                slot.outVariable[position] = value;
            }
        } else if (how < 128) {
            bufferClock = clockPlus(slot.sampleClock, how % 8);
        } else if (how < 160) {
            const int32_t shift = static_cast<int32_t>(bytes.u16());
            slot.sampleClock = clockPlus(slot.sampleClock, shift);
            bufferClock = clockPlus(bufferClock, shift);
        } else if (how < 192) {
            // The clocks drift apart: the buffer's anywhere, as with a host
            // that answers PinBufferClock with 0.
            bufferClock = how < 176 ? 0 : bytes.i32();
        } else if (how < 208) {
            slot.sampleClock = bytes.i32();
        } else if (how < 224) {
            // Both clocks just short of the wrap.
            const int32_t shift =
                static_cast<int32_t>(static_cast<uint32_t>(INT32_MAX - bytes.u8()) -
                                     static_cast<uint32_t>(slot.sampleClock));
            slot.sampleClock = clockPlus(slot.sampleClock, shift);
            bufferClock = clockPlus(bufferClock, shift);
        }
    }

    void fill(std::vector<float>& samples, int32_t frames, Bytes& bytes) {
        const uint8_t kind = bytes.u8();
        uint32_t noise = bytes.u16() * 2654435761u + 1;
        const float scale = kind % 4 == 0   ? 1.0f
                            : kind % 4 == 1 ? 1e-36f
                            : kind % 4 == 2 ? 1e-40f
                                            : 100.0f;
        for (int32_t i = 0; i < frames; ++i) {
            noise = noise * 1664525u + 1013904223u;
            float value = static_cast<float>(static_cast<int32_t>(noise) >> 8) * 0x1p-23f * scale;
            if (kind >= 128 && i < 8)
                value = static_cast<float>(static_cast<int16_t>(bytes.u16())) / 32768.0f;
            if (kind >= 240 && i == static_cast<int32_t>(kind % 8)) {
                static constexpr float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                                                std::numeric_limits<float>::infinity(),
                                                -std::numeric_limits<float>::infinity(),
                                                3e38f,
                                                -3e38f,
                                                1e30f,
                                                std::numeric_limits<float>::denorm_min(),
                                                -0.0f};
                value = odd[bytes.u8() % 8];
            }
            samples[static_cast<size_t>(i)] = value;
        }
    }

    void process(Slot& slot, Bytes& bytes) {
        int32_t frames;
        switch (const uint8_t shape = bytes.u8(); shape % 8) {
            case 0:
                frames = 0;
                break;
            case 1: {
                const uint8_t b = bytes.u8();
                frames = b < 240   ? -1 - b % 16
                         : b < 255 ? -1 - (bytes.i32() & INT32_MAX)
                                   : INT32_MIN;
                break;
            }
            case 2:
                frames = 1 + shape / 8 % 8;
                break;
            case 3:
                frames = std::clamp(slot.blockSize, 1, kMostFrames);
                break;
            default:
                frames = bytes.u16() % (kMostFrames + 1);
        }
        // Mostly inside the buffers; now and then a host's mistake, a negative
        // offset, which is a call without frames.
        const uint8_t where = bytes.u8();
        const int32_t offset = where < 224   ? where % 32
                               : where < 254 ? -1 - 2 * (where - 224)
                               : where < 255 ? -kRoom
                                             : INT32_MIN;
        const uint8_t flags = bytes.u8();
        const uint8_t split = bytes.u8();
        const uint8_t modes = bytes.u8();
        const bool noInput = (flags & 0x07) == 1;
        const bool noOutput = (flags & 0x07) == 2;
        bool inPlace = (flags & 0x18) == 0x08 && !noInput && !noOutput;
        const bool flipped = second && !noInput && !noOutput;
        if (flipped) inPlace = !inPlace;

        // The buffers the module is given start kRoom samples into the
        // vectors, so that a write before them shows; the block sits at the
        // offset, where that falls inside the vectors.
        const int32_t count = std::max(frames, 0);
        const int64_t at = int64_t{kRoom} + offset;
        const bool placed = at >= 0;
        const size_t from = placed ? static_cast<size_t>(at) : 0;
        const int32_t written = offset >= 0 ? count : 0;  // the frames the module may write
        const size_t length =
            static_cast<size_t>(std::max<int64_t>(kRoom, placed ? at + count : 0) + kRoom);
        std::vector<float> input(static_cast<size_t>(count));
        fill(input, count, bytes);

        slot.in.assign(length, marker());
        if (placed)
            std::copy(input.begin(), input.end(), slot.in.begin() + static_cast<ptrdiff_t>(from));
        slot.copy = slot.in;
        if (inPlace) {
            slot.out = slot.in;
        } else {
            slot.out.assign(length, marker());
        }
        float* inBuffer = (inPlace ? slot.out.data() : slot.in.data()) + kRoom;
        slot.inVariable = noInput ? nullptr : inBuffer;
        slot.outVariable = noOutput ? nullptr : slot.out.data() + kRoom;
        setAudio(slot, layout.input, slot.inVariable);
        setAudio(slot, layout.output, slot.outVariable);

        // The second run cuts the call in two at a point of the input's choosing.
        const int32_t first = second && frames > 0 && offset >= 0 ? frames * split / 256 : frames;
        std::vector<Notice> expected;
        bool kernel = false;
        bool zeros = false;
        bool finite = true;
        bool huge = false;
        for (const float x : input) {
            finite = finite && std::isfinite(x);
            huge = huge || (std::isfinite(x) && std::fabs(x) > 1e6f);
        }
        const bool clean = finite && !huge;
        bool finiteOutput = clean;  // what sane input through an untainted history gives
        auto call = [&](int32_t callOffset, int32_t n) {
            const ProcessOutcome outcome = slot.rules.process(callOffset, n, !noInput, !noOutput);
            underHostModes(modes, [&] { slot.entry->process(slot.entry->module, callOffset, n); });
            if (outcome.idle) expected.push_back({Idle, 0, 0, 0});
            kernel = kernel || outcome.runsKernel;
            zeros = zeros || outcome.writesZeros;
            if (outcome.runsKernel) {
                const bool continues = outcome.history != ProcessOutcome::Cleared;
                finiteOutput = finiteOutput && !(continues && slot.tainted);
                slot.tainted = (continues && slot.tainted) || huge;
                slot.diverged = (continues && slot.diverged) || !clean;
            }
            if (slot.rules.current().kind == ProcessKind::Silence) {
                slot.tainted = slot.diverged = false;
            }
        };
        call(offset, first);
        if (first != frames) call(offset + first, frames - first);
        expectNotices(slot, expected);

        if (!inPlace) {
            expect(std::memcmp(slot.in.data(), slot.copy.data(), length * sizeof(float)) == 0,
                   "the module wrote its input buffer");
        }
        for (size_t i = 0; i < length; ++i) {
            if (i >= from && i < from + static_cast<size_t>(written)) continue;
            const float before = inPlace ? slot.copy[i] : marker();
            expect(sameBits(slot.out[i], before), "the module wrote outside the block");
        }
        if (!noOutput && placed) {
            const float* out = slot.out.data() + from;
            if (zeros) {
                for (int32_t i = 0; i < written; ++i)
                    expect(sameBits(out[i], 0.0f), "silence is not zeros");
            } else if (kernel && finiteOutput) {
                for (int32_t i = 0; i < written; ++i)
                    expect(std::isfinite(out[i]), "sane input, output not finite");
            } else if (!kernel && !inPlace) {
                for (int32_t i = 0; i < count; ++i)
                    expect(sameBits(out[i], marker()), "a call that does nothing wrote the output");
            }
            // What a call that does nothing leaves is the host's, and differs between the runs.
            if (zeros || (kernel && !slot.diverged))
                transcript.output.insert(transcript.output.end(), out, out + written);
        }

        // After a call that writes nothing the block holds what the host
        // left there, which the module may read as the output's current
        // sample; the second run leaves what the first did.
        if (flipped && !kernel && !zeros && placed) {
            const auto block = slot.out.begin() + static_cast<ptrdiff_t>(from);
            if (inPlace) {
                std::fill_n(block, count, marker());
            } else {
                std::copy(input.begin(), input.end(), block);
            }
        }
        // The current sample is now the block's last, wherever the clock was.
        slot.sampleClock = clockPlus(slot.sampleClock, count);
        slot.bufferClocks[static_cast<size_t>(layout.output)] =
            clockPlus(slot.sampleClock, -(int64_t{offset} + std::max(count, 1) - 1));
    }

    void otherEvent(Slot& slot, Bytes& bytes) {
        ModuleEvent event{};
        event.type = bytes.i32();
        event.first = bytes.i32();
        event.value = bytes.i32();
        event.shortValue = bytes.u16();
        event.pointer = static_cast<intptr_t>(bytes.i32());
        if (event.type == EventPinStatus) return;  // the status actions cover these
        if (event.type == EventRunOperation) {
            event.pointer = event.pointer % 2 == 0 ? 0 : reinterpret_cast<intptr_t>(&operation);
        }
        slot.entry->event(slot.entry->module, &event);
        if (bytes.u8() < 16) slot.entry->event(slot.entry->module, nullptr);
        expect(slot.received.empty(), "an event the module must drop sent a notification");
    }

    void opcode(Slot& slot, Bytes& bytes) {
        // Often opcode 13, to interleave its questions across the instances.
        const int32_t code = bytes.u8() < 96 ? OpcodeGetProcessRecord : bytes.i32();
        const int32_t index = bytes.i32();
        const int32_t value = bytes.i32();
        std::array<float, 16> canary;
        canary.fill(marker());
        if (code == OpcodeOpen || code == OpcodeClose || code == OpcodeSetBlockSize) return;
        if (code == OpcodeGetProcessRecord) {
            processRecord(slot, index, value);
            return;
        }
        if (code == OpcodeGetPinProperties) {
            PinProperties pin{};
            const intptr_t answer =
                dispatch(slot, code, index, value, bytes.u8() < 32 ? nullptr : &pin, 0.0f);
            const bool declared = index >= 0 && index < layout.declared;
            expect(answer == 0 || declared, "a pin beyond the declarations");
            return;
        }
        const intptr_t answer = dispatch(slot, code, index, value, canary.data(), bytes.f32());
        if (code != OpcodeSetSampleRate && code != OpcodeHook8 && code != OpcodeHook12) {
            expect(answer == 0, "an unknown opcode answered other than 0");
        }
        for (const float v : canary)
            expect(sameBits(v, marker()), "an opcode wrote through its pointer");
        expectNotices(slot, {});
    }

    // Opcode 13: the answer is the asking instance's own record, at one
    // address for its whole life, naming its process record, which always
    // names its entry's process function, whichever instance asked last.
    void processRecord(Slot& slot, int32_t index, int32_t value) {
        const auto* info = reinterpret_cast<const ProcessRecordInfo*>(
            dispatch(slot, OpcodeGetProcessRecord, index, value, nullptr, 0.0f));
        expect(info != nullptr && info->one == 1 &&
                   info->size == static_cast<int32_t>(sizeof(ProcessRecord)) && info->zero == 0,
               "opcode 13 answered a malformed record");
        if (slot.info == nullptr) slot.info = info;
        expect(info == slot.info, "an instance's answer to opcode 13 moved");
        if (slot.record == nullptr) slot.record = info->record;
        expect(info->record == slot.record, "an instance's process record moved");
        for (const auto& other : slots) {
            if (other && other->record != nullptr) {
                expect(other->record->function == other->entry->process,
                       "a process record disagrees with its entry record");
            }
        }
        expectNotices(slot, {});
    }

    void properties(Bytes& bytes) {
        const int32_t index = bytes.u8() < 128 ? bytes.u8() % 3 : bytes.i32();
        ModuleProperties record;
        std::memset(static_cast<void*>(&record), 0x77, sizeof record);
        const bool none = bytes.u8() < 16;
        const int32_t answer = getModuleProperties(index, none ? nullptr : &record);
        expect(answer == (index == 0 && !none ? 1 : 0), "getModuleProperties answered wrongly");
    }

    void strayInstance(Bytes& bytes) {
        const int32_t index = bytes.u8() < 128 ? 0 : bytes.i32();
        const int32_t kind = bytes.u8() < 128 ? 1 : bytes.i32();
        ModuleEntry* entry = makeModule(index, kind, bytes.u8() < 64 ? nullptr : callback, 0);
        expect((entry != nullptr) == (index == 0 && kind == 1), "makeModule answered wrongly");
        if (entry != nullptr) entry->dispatch(entry, OpcodeClose, 0, 0, nullptr, 0.0f);
    }

    const Layout& layout;
    bool second;
    int action = 0;
    std::array<std::unique_ptr<Slot>, kSlots> slots;
};

const Layout& moduleLayout() {
    static const Layout layout = [] {
        ModuleEntry* entry = makeModule(0, 1, nullptr, 0);
        std::vector<PinProperties> pins;
        for (int32_t i = 0;; ++i) {
            PinProperties pin{};
            if (entry->dispatch(entry, OpcodeGetPinProperties, i, 0, &pin, 0.0f) != 1) break;
            pins.push_back(pin);
        }
        entry->dispatch(entry, OpcodeClose, 0, 0, nullptr, 0.0f);
        return layoutFrom(pins);
    }();
    return layout;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Layout& layout = moduleLayout();
    Transcript first, second;
    {
        Run run(layout, false);
        run.execute(Bytes(data, size));
        first = std::move(run.transcript);
    }
    {
        Run run(layout, true);
        run.execute(Bytes(data, size));
        second = std::move(run.transcript);
    }
    if (first.notices != second.notices) finding("split calls changed the notifications", -1);
    const bool same = std::equal(first.output.begin(), first.output.end(), second.output.begin(),
                                 second.output.end(), sameBits);
    if (!same) finding("split calls changed the output's bits", -1);
    return 0;
}
