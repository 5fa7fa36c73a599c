#include "subject.h"

namespace velmora::validate {

namespace {

// More declarations than any module has; a dispatcher answering 1 for every
// index would otherwise be asked for ever.
constexpr int32_t kMostDeclarations = 256;

}  // namespace

Subject::Subject(const host::ModuleLibrary& library, FpWatch& fpWatch, int32_t pinCount)
    : host(library, pinCount), watch(fpWatch) {}

bool Subject::create(std::string& error) {
    if (!watch.around("makeModule", [&] { return host.create(error); })) return false;
    pins.clear();
    for (int32_t index = 0; index < kMostDeclarations; ++index) {
        PinProperties pin{};
        if (dispatch(OpcodeGetPinProperties, index, 0, &pin) != 1) break;
        pins.push_back(pin);
    }
    return true;
}

intptr_t Subject::dispatch(int32_t opcode, int32_t index, int32_t value, void* pointer,
                           float floatValue) {
    static constexpr const char* names[] = {"opcode 0 (open)",
                                            "opcode 1 (close)",
                                            "opcode 2 (sample rate)",
                                            "opcode 3 (block size)",
                                            "opcode 4",
                                            "opcode 5",
                                            "opcode 6 (pin properties)",
                                            "opcode 7",
                                            "opcode 8",
                                            "opcode 9",
                                            "opcode 10",
                                            "opcode 11",
                                            "opcode 12",
                                            "opcode 13 (process record)"};
    const char* what = opcode >= 0 && opcode <= 13 ? names[opcode] : "an unknown opcode";
    return watch.around(what,
                        [&] { return host.dispatch(opcode, index, value, pointer, floatValue); });
}

void Subject::close() {
    if (!alive()) return;
    watch.around("opcode 1 (close)", [&] { host.close(); });
    pins.clear();
}

void Subject::event(ModuleEvent& event) {
    watch.around("an event", [&] { host.sendEvent(event); });
}

void Subject::pinStatus(intptr_t pin, int32_t status) {
    ModuleEvent event{};
    event.type = EventPinStatus;
    event.value = status;
    event.pointer = pin;
    watch.around("a pin status event", [&] { host.sendEvent(event); });
}

void Subject::process(int32_t offset, int32_t frames) {
    watch.around("the process function", [&] { host.process(offset, frames); });
}

}  // namespace velmora::validate
