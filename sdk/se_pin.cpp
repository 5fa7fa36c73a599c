#include "se_pin.h"

#include <cstring>

#include "se_module_base.h"

void SEPin::init(SEModule_base* owner, int32_t pinIndex, int32_t pinDatatype, void* pinVariable) {
    module = owner;
    index = pinIndex;
    datatype = pinDatatype;
    variable = pinVariable;
    status = 0;
    std::memset(&storage, 0, sizeof storage);
    if (variable != nullptr) return;

    switch (datatype) {
        case PinTypeEnum:
            storage.enumValue = 0;
            break;
        case PinTypeByte:
            storage.byteValue = 0;
            break;
        case PinTypeAudio:
            storage.buffer = reinterpret_cast<float*>(module->callHost(PinBuffer, index));
            break;
        case PinTypeFloat:
            storage.floatValue = 0.0f;
            break;
        case PinTypeInt:
            storage.intValue = 0;
            break;
        default:
            return;  // no value held: the variable stays null
    }
    variable = &storage;
}

void SEPin::statusChanged(int32_t newStatus) {
    status = newStatus;
    module->onPinStatusChange(this);
    if (newStatus == 1) status = 0;
}

void SEPin::transmitStatus(int32_t clock, int32_t newStatus) {
    // The clock travels in the pointer argument, as an integer.
    module->callHost(PinStatus, index, newStatus,
                     reinterpret_cast<void*>(static_cast<intptr_t>(clock)));
}

float SEPin::getValue() {
    const float* sample = currentSample();
    return sample != nullptr ? *sample : 0.0f;
}

const float* SEPin::currentSample() {
    if (datatype != PinTypeAudio || variable == nullptr) return nullptr;
    const int32_t start = static_cast<int32_t>(module->callHost(PinBufferClock, index));
    const int32_t now = module->getSampleClock();
    const float* buffer = *static_cast<float* const*>(variable);
    // The clocks are 32-bit counts that wrap, so their difference is taken
    // the same way. The host promised a buffer of one block size; clocks
    // that point anywhere else are not followed.
    const int32_t position = clockDifference(now, start);
    if (buffer == nullptr || position < 0 || position >= module->getBlockSize()) return nullptr;
    return buffer + position;
}
