#include "instance.h"

#include <algorithm>

namespace velmora::host {

Instance::Instance(const ModuleLibrary& moduleLibrary, int32_t pins)
    : pinCount(pins),
      pinBuffers(static_cast<size_t>(std::max(pins, 0)), 0),
      bufferClocks(static_cast<size_t>(std::max(pins, 0)), 0),
      library(moduleLibrary) {}

Instance::~Instance() {
    close();
}

bool Instance::create(std::string& error) {
    if (record != nullptr) close();
    ModuleEntry* made =
        library.makeModule()(0, 1, &Instance::callback, reinterpret_cast<intptr_t>(this));
    if (made == nullptr) {
        error = library.path() + ": makeModule answered null";
        return false;
    }
    if (made->magic != kModuleEntryMagic || made->version != 1 || made->module == nullptr ||
        made->dispatch == nullptr || made->process == nullptr || made->event == nullptr ||
        made->hostValue != reinterpret_cast<intptr_t>(this)) {
        // Not an instance this host can drive; it is not closed, since its
        // dispatcher cannot be trusted.
        error = library.path() + ": makeModule answered a record that does not check out";
        return false;
    }
    record = made;
    return true;
}

intptr_t Instance::dispatch(int32_t opcode, int32_t index, int32_t value, void* pointer,
                            float floatValue) {
    if (record == nullptr) return 0;
    return record->dispatch(record, opcode, index, value, pointer, floatValue);
}

void Instance::open() {
    dispatch(OpcodeOpen);
    readDeclarations();
}

void Instance::readDeclarations() {
    declarations.clear();
    PinProperties pin{};
    for (int32_t index = 0; index < pinCount && describePin(index, pin); ++index) {
        declarations.push_back(pin);
    }
}

bool Instance::describePin(int32_t index, PinProperties& pin) {
    pin = PinProperties{};
    return dispatch(OpcodeGetPinProperties, index, 0, &pin) == 1;
}

const ProcessRecordInfo* Instance::processRecordInfo() {
    return reinterpret_cast<const ProcessRecordInfo*>(dispatch(OpcodeGetProcessRecord));
}

void Instance::close() {
    if (record == nullptr) return;
    dispatch(OpcodeClose);
    record = nullptr;
    declarations.clear();
}

void Instance::sendPinStatus(int32_t pin, int32_t status) {
    ModuleEvent event{};
    event.type = EventPinStatus;
    event.value = status;
    event.pointer = pin;
    sendEvent(event);
}

void Instance::sendEvent(ModuleEvent& event) {
    if (record != nullptr) record->event(record->module, &event);
}

void Instance::process(int32_t offset, int32_t frames) {
    if (record != nullptr) record->process(record->module, offset, frames);
}

void Instance::run(const float* input, float* output, int32_t frames, int32_t blockFrames) {
    run(input, output, frames, blockFrames, 0, 2);
}

void Instance::run(const float* input, float* output, int32_t frames, int32_t blockFrames,
                   int32_t inputPin, int32_t outputPin) {
    if (blockFrames <= 0) return;
    for (int32_t done = 0; done < frames;) {
        const int32_t block = std::min(blockFrames, frames - done);
        // The module takes the input as writable memory; it must not write it.
        setBuffer(inputPin, const_cast<float*>(input + done));
        setBuffer(outputPin, output + done);
        process(0, block);
        done += block;
        sampleClock += block;
        // Between blocks the current sample is the last one processed.
        for (auto& clock : bufferClocks)
            clock = sampleClock - (block - 1);
    }
}

int Instance::countRequests(int32_t opcode) const {
    return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                          [&](const Request& r) { return r.opcode == opcode; }));
}

intptr_t SE_CDECL Instance::callback(ModuleEntry* entry, int32_t opcode, int32_t index,
                                     int32_t value, void* pointer, float floatValue) {
    if (entry == nullptr) return 0;
    auto* self = reinterpret_cast<Instance*>(entry->hostValue);
    const Request request{opcode, index, value, reinterpret_cast<intptr_t>(pointer), floatValue};
    self->requests.push_back(request);
    return self->answer(request);
}

intptr_t Instance::answer(const Request& request) {
    const auto pin = static_cast<size_t>(request.index);
    const bool knownPin = request.index >= 0 && pin < pinBuffers.size();
    switch (request.opcode) {
        case SampleClock:
            return sampleClock;
        case PinBuffer:
            return knownPin ? pinBuffers[pin] : 0;
        case PinBufferClock:
            return knownPin ? bufferClocks[pin] : 0;
        case PinCount:
            return pinCount;
        default:
            return 0;
    }
}

}  // namespace velmora::host
