#include "se_module_base.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

// The entries in ModuleEntry are thin: find the instance, call its virtual
// operation, and answer a safe default when the host hands over nothing usable.
// Nothing is thrown across the boundary.
intptr_t SE_CDECL dispatchEntry(ModuleEntry* entry, int32_t opcode, int32_t index, int32_t value,
                                void* pointer, float floatValue) noexcept {
    if (entry == nullptr || entry->module == nullptr) return 0;
    try {
        return SEModule_base::fromHandle(entry->module)
            ->dispatch(opcode, index, value, pointer, floatValue);
    } catch (...) {
        return 0;
    }
}

void SE_CDECL eventEntry(void* module, ModuleEvent* event) noexcept {
    if (module == nullptr || event == nullptr) return;
    try {
        SEModule_base::fromHandle(module)->handleEvent(event);
    } catch (...) {
    }
}

bool skipsDeclaration(const PinProperties& record) {
    return (record.flags & PinFlagSkip) != 0 && (record.flags & PinFlagKeep) == 0;
}

}  // namespace

void SE_CDECL emptyProcess(void*, int32_t, int32_t) {}

SEModule_base::SEModule_base(HostCallback callback, intptr_t hostValue) : hostCallback(callback) {
    std::memset(&entry, 0, sizeof entry);
    entry.magic = kModuleEntryMagic;
    entry.version = 1;
    entry.hostValue = hostValue;
    entry.module = this;
    entry.dispatch = dispatchEntry;
    entry.process = emptyProcess;
    entry.event = eventEntry;
    processRecord = ProcessRecord{emptyProcess, {0, 0, 0}};
}

SEModule_base::~SEModule_base() {
    releasePins();
    for (SEPin* retired : retiredPins)
        delete[] retired;
}

void SEModule_base::releasePins() {
    SEPin* old = std::exchange(pins, nullptr);
    pinCount = 0;
    if (old == nullptr) return;
    if (requestsUnderWay == 0) {
        delete[] old;  // destroys the pins from the last to the first
        return;
    }
    try {
        retiredPins.push_back(old);
    } catch (...) {
        // Kept for the instance's life rather than freed under a caller.
    }
}

void SEModule_base::releaseRetiredPins() {
    if (requestsUnderWay > 0) return;
    for (SEPin* retired : retiredPins)
        delete[] retired;
    retiredPins.clear();
}

void SEModule_base::onPinStatusChange(SEPin*) {}

void SEModule_base::handleEvent(const ModuleEvent* event) {
    switch (event->type) {
        case EventPinStatus: {
            // The host must not name a pin that does not exist or was never
            // bound; if it does, the event is dropped rather than followed.
            const intptr_t index = event->pointer;
            if (index < 0 || index >= pinCount) return;
            SEPin* pin = getPin(static_cast<int32_t>(index));
            if (pin->isBound()) pin->statusChanged(event->value);
            releaseRetiredPins();
            return;
        }
        case EventHook2:
            hookEvent2(event->first, event->value, event->shortValue);
            return;
        case EventRunOperation: {
            auto operation = reinterpret_cast<ModuleOperation>(event->pointer);
            if (operation != nullptr) operation(this);
            return;
        }
        default:
            return;
    }
}

intptr_t SEModule_base::dispatch(int32_t opcode, int32_t index, int32_t value, void* pointer,
                                 float floatValue) {
    // Compared without sign: negative opcodes are simply unknown ones.
    switch (static_cast<uint32_t>(opcode)) {
        case OpcodeOpen:
            open();
            return 0;
        case OpcodeClose:
            close();
            delete this;  // nothing of the instance may be touched after this
            return 1;
        case OpcodeSetSampleRate:
            setSampleRate(floatValue);
            return 0;
        case OpcodeSetBlockSize:
            setBlockSize(value);
            return 0;
        case OpcodeGetPinProperties:
            if (pointer == nullptr) return 0;
            return getPinProperties(index, static_cast<PinProperties*>(pointer)) ? 1 : 0;
        case OpcodeHook8:
            hookOpcode8();
            if (index > 0) hookOpcode8Index(index);
            return 0;
        case OpcodeHook12:
            hookOpcode12(value, index, pointer);
            return 0;
        case OpcodeGetProcessRecord:
            processRecordInfo = ProcessRecordInfo{1, sizeof(ProcessRecord), &processRecord, 0};
            return reinterpret_cast<intptr_t>(&processRecordInfo);
        default:
            return 0;
    }
}

void SEModule_base::open() {
    const int32_t answer = hostCallback != nullptr ? static_cast<int32_t>(callHost(PinCount)) : 0;
    // An absurd answer must not decide how much is allocated.
    const int32_t count = std::min(answer, kMostPins);

    // A second open replaces the first array rather than leaking it.
    releasePins();
    if (count > 0) {
        pins = new (std::nothrow) SEPin[count];
        if (pins != nullptr) pinCount = count;
    }

    // Declarations are still asked for without an array, as the host may
    // watch the questions; with no array nothing is bound.
    PinProperties record{};
    int32_t declaration = 0;
    int32_t pin = 0;
    if (getPinProperties(0, &record)) {
        for (;;) {
            if (pin >= pinCount) break;
            if (!skipsDeclaration(record)) {
                pins[pin].init(this, pin, record.datatype, record.variable);
                ++pin;
            }
            record = PinProperties{};
            ++declaration;
            if (!getPinProperties(declaration, &record)) break;
        }
    }

    // The last declaration may stand for every pin left over.
    record = PinProperties{};
    getPinProperties(declaration - 1, &record);
    if (!skipsDeclaration(record) && (record.flags & PinFlagRepeat) != 0) {
        for (; pin < pinCount; ++pin)
            pins[pin].init(this, pin, record.datatype, nullptr);
    }
    releaseRetiredPins();
}

bool SEModule_base::getPinProperties(int32_t, PinProperties*) {
    return false;
}

void SEModule_base::setProcessFunction(ProcessFunction function) {
    if (function == processRecord.function) return;
    processRecord.function = function;
    entry.process = function;
    if (hostCallback != nullptr) callHost(ProcessChanged);
}

intptr_t SEModule_base::callHost(int32_t opcode, int32_t index, int32_t value, void* pointer,
                                 float floatValue) {
    if (hostCallback == nullptr) return 0;
    ++requestsUnderWay;
    const intptr_t answer = hostCallback(&entry, opcode, index, value, pointer, floatValue);
    --requestsUnderWay;
    return answer;
}

int32_t SEModule_base::getSampleClock() {
    return static_cast<int32_t>(callHost(SampleClock));
}
