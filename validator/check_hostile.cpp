// A host that does everything wrong that a host can: null pointers, pins
// that do not exist, too few pins, events and values nobody defined.
#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

#include "checks.h"
#include "host_buffers.h"
#include "signals.h"
#include "subject.h"

namespace velmora::validate {

namespace {

void* operationArgument = nullptr;
int operationCalls = 0;

void SE_CDECL recordOperation(void* module) {
    operationArgument = module;
    ++operationCalls;
}

class Hostile {
  public:
    Hostile(Context& c, Result& r) : context(c), result(r), layout(c.known.layout) {
        Random random(c.trialSeeds("hostile").front());
        input.resize(256);
        fillSignal(Signal::Noise, random, input.data(), 256, 44100);
    }

    // The output of an instance opened with the default type and left alone.
    bool reference() {
        Subject subject(context.library, context.watch);
        if (!create(subject)) return false;
        opened.resize(input.size());
        return play(subject, opened, "an instance left alone");
    }

    void nullPointers() {
        Subject subject(context.library, context.watch);
        if (!create(subject)) return;
        ModuleEntry* entry = subject.entry();
        for (const int32_t opcode : {OpcodeOpen, OpcodeSetSampleRate, OpcodeSetBlockSize,
                                     OpcodeGetPinProperties, OpcodeGetProcessRecord}) {
            const intptr_t answer = context.watch.around("the dispatcher with a null record", [&] {
                return entry->dispatch(nullptr, opcode, 0, 0, nullptr, 0.0f);
            });
            if (answer != 0) {
                result.fail("opcode " + std::to_string(opcode) + " with a null record answers " +
                            std::to_string(answer));
            }
        }
        ModuleEvent event{};
        event.pointer = layout.input;
        context.watch.around("an event with a null module", [&] { entry->event(nullptr, &event); });
        context.watch.around("a null event", [&] { entry->event(entry->module, nullptr); });
        expectQuiet(subject, "null records and events");

        // Without a callback the module has no pins to report on and plays
        // what open installed.
        const MakeModuleFunction make = context.library.makeModule();
        ModuleEntry* lone =
            context.watch.around("makeModule", [&] { return make(0, 1, nullptr, 7); });
        if (lone == nullptr) {
            result.fail("makeModule answers null for a host without a callback");
            return;
        }
        auto dispatch = [&](int32_t opcode, int32_t index, void* pointer) {
            return context.watch.around("the dispatcher", [&] {
                return lone->dispatch(lone, opcode, index, 0, pointer, 0.0f);
            });
        };
        std::vector<PinProperties> pins(static_cast<size_t>(layout.declared));
        for (int32_t i = 0; i < layout.declared; ++i)
            dispatch(OpcodeGetPinProperties, i, &pins[static_cast<size_t>(i)]);
        void* typeVariable = pins[static_cast<size_t>(layout.type)].variable;
        void* inputVariable = pins[static_cast<size_t>(layout.input)].variable;
        void* outputVariable = pins[static_cast<size_t>(layout.output)].variable;
        if (typeVariable == nullptr || inputVariable == nullptr || outputVariable == nullptr) {
            result.fail("without a callback, the pins declare no variables to write");
            dispatch(OpcodeClose, 0, nullptr);
            return;
        }
        *static_cast<int16_t*>(typeVariable) = layout.defaultType;
        dispatch(OpcodeOpen, 0, nullptr);
        ModuleEvent status{};
        status.pointer = layout.input;
        for (const int32_t value : {0, 2, 1}) {
            status.value = value;
            context.watch.around("an event", [&] { lone->event(lone->module, &status); });
        }
        std::vector<float> in = input;
        std::vector<float> out(input.size());
        *static_cast<float**>(inputVariable) = in.data();
        *static_cast<float**>(outputVariable) = out.data();
        context.watch.around("the process function", [&] {
            lone->process(lone->module, 0, static_cast<int32_t>(out.size()));
        });
        const Difference d = compareBits(out.data(), opened.data(), out.size());
        if (!d.same)
            result.fail("without a callback the output is not open's kernel's: " + describe(d));
        dispatch(OpcodeClose, 0, nullptr);
    }

    void missingPins() {
        for (const intptr_t pin : {intptr_t{-1}, intptr_t{layout.declared}, intptr_t{64},
                                   intptr_t{INTPTR_MAX}, intptr_t{INTPTR_MIN}}) {
            Subject subject(context.library, context.watch);
            if (!create(subject)) return;
            const ProcessFunction before = subject.processFunction();
            for (const int32_t status : {0, 1, 2})
                subject.pinStatus(pin, status);
            expectQuiet(subject, "status events for pin " + std::to_string(pin));
            if (subject.processFunction() != before) {
                result.fail("a status event for pin " + std::to_string(pin) +
                            " changes the process function");
            }
        }
    }

    // PinCount answers too small for the output, none, negative, and one
    // more pin than declared.
    void pinCounts() {
        for (const int32_t count : {0, 1, 2, -1, layout.declared + 1}) {
            Subject subject(context.library, context.watch, count);
            if (!create(subject)) return;
            const bool tooFew = count <= layout.output;
            const std::string which = "with PinCount " + std::to_string(count);
            const ProcessFunction before = subject.processFunction();
            for (int32_t pin = 0; pin <= layout.declared; ++pin) {
                if (!tooFew && pin < layout.declared) continue;
                for (const int32_t status : {0, 1, 2, 0})
                    subject.pinStatus(pin, status);
            }
            expectQuiet(subject, "status events " + which);
            if (subject.processFunction() != before) {
                result.fail("status events " + which + " change the process function");
            }
            std::vector<float> out(input.size());
            if (play(subject, out, which) && tooFew) {
                const Difference d = compareBits(out.data(), opened.data(), out.size());
                if (!d.same)
                    result.fail(which + " the output is not open's kernel's: " + describe(d));
            }
        }
    }

    // A PinCount answer far past any module's needs must not decide what
    // open allocates: the module makes the pins it declares and plays on.
    void absurdPinCount() {
        Subject subject(context.library, context.watch);
        subject.host.pinCount = INT32_MAX;
        if (!create(subject)) return;
        Rules rules(layout);
        rules.open(INT32_MAX, layout.defaultType);
        const std::vector<Notice> expected =
            rules.pinStatus(layout.input, 0, layout.defaultType, 0.0f, subject.host.sampleClock);
        subject.pinStatus(layout.input, 0);
        const bool reported = std::any_of(
            subject.requests().begin(), subject.requests().end(), [&](const host::Request& r) {
                return r.opcode == PinStatus && r.index == expected.front().index &&
                       r.value == expected.front().value;
            });
        if (!reported) {
            result.fail("with PinCount " + std::to_string(INT32_MAX) +
                        " the module does not report its output's status");
        }
        subject.pinStatus(layout.input, kActiveStatus);
        std::vector<float> out(input.size());
        if (play(subject, out, "with PinCount " + std::to_string(INT32_MAX))) {
            const Difference d = compareBits(out.data(), opened.data(), out.size());
            if (!d.same) {
                result.fail("with PinCount " + std::to_string(INT32_MAX) +
                            " the output is not the kernel's: " + describe(d));
            }
        }
    }

    // A second open replaces the pins, their statuses with them, and
    // installs the kernel of the type of the moment.
    void secondOpen() {
        Subject subject(context.library, context.watch);
        if (!create(subject)) return;
        Rules rules(layout);
        rules.setBlockSize(64);
        subject.setBlockSize(64);
        rules.open(3, layout.defaultType);
        auto status = [&](int32_t pin, int32_t value) {
            subject.pinStatus(pin, value);
            rules.pinStatus(pin, value, layout.defaultType, 0.0f, subject.host.sampleClock);
        };
        status(layout.input, 0);
        status(layout.input, 2);
        for (int i = 0; i < 4; ++i) {
            rules.open(3, layout.defaultType);
            subject.open();
        }
        status(layout.type, 2);  // pin 0's status, reset by the open, is read again
        subject.clearRequests();
        if (subject.processFunction() != context.known.expected(rules.current())) {
            result.fail("after a second open, an event does not see the pins' statuses reset");
        }
    }

    void unknownEvents() {
        Subject subject(context.library, context.watch);
        if (!create(subject)) return;
        const ProcessFunction before = subject.processFunction();
        std::vector<float> canary(16, marker());
        for (const int32_t type : {1, 3, 4, 20, 22, 100, -1, INT32_MAX, INT32_MIN}) {
            ModuleEvent event{};
            event.type = type;
            event.value = 2;
            event.pointer = reinterpret_cast<intptr_t>(canary.data());
            subject.event(event);
        }
        ModuleEvent hook{};
        hook.type = EventHook2;
        subject.event(hook);
        ModuleEvent none{};
        none.type = EventRunOperation;
        subject.event(none);
        expectQuiet(subject, "events of unknown types");
        if (subject.processFunction() != before)
            result.fail("an unknown event changes the process function");
        if (std::any_of(canary.begin(), canary.end(),
                        [](float v) { return !sameBits(v, marker()); })) {
            result.fail("an unknown event writes through its pointer");
        }

        operationCalls = 0;
        ModuleEvent run{};
        run.type = EventRunOperation;
        run.pointer = reinterpret_cast<intptr_t>(&recordOperation);
        subject.event(run);
        if (operationCalls != 1 || operationArgument != subject.entry()->module) {
            result.fail("an operation event does not run its operation once on the module");
        }

        // The two hook opcodes, with arguments of every kind.
        for (const int32_t index : {-1, 0, 5}) {
            subject.dispatch(OpcodeHook8, index, index, canary.data(), -1.0f);
            subject.dispatch(OpcodeHook12, index, index, canary.data(), -1.0f);
        }
        expectQuiet(subject, "opcodes 8 and 12");
    }

    // Rates and block sizes no host should send: the silence countdown
    // runs from whatever the block size is, and the module does not fall over.
    void oddValues() {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        for (const float rate : {0.0f, -44100.0f, nan, inf, 1e9f}) {
            Subject subject(context.library, context.watch);
            if (!create(subject)) return;
            subject.setSampleRate(rate);
            std::vector<float> out(input.size());
            play(subject, out, "at a sample rate of " + number(rate));
        }
        for (const int32_t size : {0, -1, INT32_MIN, 1, INT32_MAX}) {
            Subject subject(context.library, context.watch);
            if (!create(subject)) return;
            subject.setBlockSize(size);
            subject.pinStatus(layout.input, 0);
            subject.clearRequests();
            std::vector<float> out(input.size());
            play(subject, out, "with block size " + std::to_string(size));
            const bool idle = std::any_of(subject.requests().begin(), subject.requests().end(),
                                          [](const host::Request& r) { return r.opcode == Idle; });
            const bool expected = size <= static_cast<int32_t>(input.size());
            if (idle != expected) {
                result.fail("with block size " + std::to_string(size) + ", " +
                            std::to_string(input.size()) + " silent frames " +
                            (idle ? "ask for Idle" : "do not ask for Idle"));
            }
        }
    }

  private:
    bool create(Subject& subject) {
        std::string error;
        if (!subject.create(error)) {
            result.fail(error);
            return false;
        }
        subject.setType(layout.type, layout.defaultType);
        subject.open();
        subject.clearRequests();
        return true;
    }

    bool play(Subject& subject, std::vector<float>& out, const std::string& which) {
        const std::string problem =
            buffers.run(subject, layout.input, layout.output,
                        {input.data(), static_cast<int32_t>(input.size()), 1}, out.data());
        if (!problem.empty()) result.fail(which + ", the process function " + problem);
        return problem.empty();
    }

    void expectQuiet(Subject& subject, const std::string& what) {
        if (!subject.requests().empty()) {
            result.fail(what + " make the module send request " +
                        std::to_string(subject.requests().front().opcode));
        }
        subject.clearRequests();
    }

    Context& context;
    Result& result;
    const Layout& layout;
    HostBuffers buffers;
    std::vector<float> input;
    std::vector<float> opened;
};

}  // namespace

// Hosts whose clocks drift apart: the output's current sample, which the
// module reads when the input goes idle, is looked for at every distance
// from the buffer's start, across the clocks' wrap, and with PinBufferClock
// answered 0 while the clock runs on. Only the block size of frames the
// host's buffers hold may be read; elsewhere the sample reads 0 and the
// output is reported silent.
void checkClocks(Context& context, Result& result) {
    const Layout& layout = context.known.layout;
    constexpr int32_t kBlock = 64;
    // The host's buffer is longer than the block it promised, and loud
    // throughout: a read past the block shows in the status reported.
    std::vector<float> buffer(4 * kBlock, 0.5f);
    struct Case {
        int32_t bufferClock;
        int32_t sampleClock;
    };
    const Case cases[] = {
        {1000, 1000},
        {1000, 1000 + kBlock - 1},
        {1000, 1000 + kBlock},
        {1000, 1000 + 3 * kBlock},
        {1000, 999},
        {1000, 1000 - (1 << 20)},
        {0, 1 << 20},  // a host that answers PinBufferClock with 0
        {0, 1 << 30},
        {0, INT32_MAX},
        {0, INT32_MIN},
        {INT32_MAX - 10, INT32_MIN + 5},  // 16 samples on, across the wrap
        {INT32_MAX, INT32_MIN + kBlock},
        {INT32_MIN, INT32_MAX},
    };
    int reads = 0;
    for (const Case& c : cases) {
        Subject subject(context.library, context.watch);
        std::string error;
        if (!startPlaying(subject, layout, layout.defaultType, 44100.0f, kBlock, error)) {
            result.fail(error);
            return;
        }
        Rules rules(layout);
        rules.setBlockSize(kBlock);
        rules.open(3, layout.defaultType);
        rules.pinStatus(layout.input, kActiveStatus, layout.defaultType, 0.0f, 0);
        subject.setAudio(layout.output, buffer.data());
        subject.host.bufferClocks[static_cast<size_t>(layout.output)] = c.bufferClock;
        subject.host.sampleClock = c.sampleClock;
        subject.clearRequests();

        const int32_t position = Rules::samplePosition(c.sampleClock, c.bufferClock);
        const bool inside = rules.readsSampleAt(position);
        reads += inside;
        const std::vector<Notice> expected =
            rules.pinStatus(layout.input, 0, layout.defaultType,
                            inside ? buffer[static_cast<size_t>(position)] : 0.0f, c.sampleClock);
        subject.pinStatus(layout.input, 0);
        std::vector<Notice> received;
        for (const host::Request& r : subject.requests()) {
            if (r.opcode == PinStatus) received.push_back({r.opcode, r.index, r.value, r.pointer});
        }
        if (received.empty() || received.front() != expected.front()) {
            result.fail(
                "PinBufferClock " + std::to_string(c.bufferClock) + ", SampleClock " +
                std::to_string(c.sampleClock) + ": the output is reported with status " +
                (received.empty() ? std::string("none") : std::to_string(received.front().value)) +
                " where " + std::to_string(expected.front().value) + " was expected (" +
                (inside ? "the sample inside the block is loud"
                        : "nothing outside the block may be read") +
                ")");
        }
    }
    result.summary(std::to_string(std::size(cases)) + " pairs of clocks, " + std::to_string(reads) +
                   " inside a block of " + std::to_string(kBlock) +
                   ": the current sample read only there, across the wrap too");
}

void checkHostile(Context& context, Result& result) {
    Hostile host(context, result);
    if (!host.reference()) return;
    host.nullPointers();
    host.missingPins();
    host.pinCounts();
    host.absurdPinCount();
    host.secondOpen();
    host.unknownEvents();
    host.oddValues();
    result.summary("null records and events, no callback, missing pins, PinCount 0, 1, 2, -1, " +
                   std::to_string(context.known.layout.declared + 1) + " and " +
                   std::to_string(INT32_MAX) +
                   ", second opens, unknown events, odd rates and block sizes");
}

}  // namespace velmora::validate
