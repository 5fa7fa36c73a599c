// One connection between a module and its host.
#pragma once

#include <cstdint>

#include "abi.h"

class SEModule_base;

// How many samples `later` is after `earlier` on a host's 32-bit sample clock,
// which wraps: negative when `later` is in fact before.
inline int32_t clockDifference(int32_t later, int32_t earlier) {
    return static_cast<int32_t>(static_cast<uint32_t>(later) - static_cast<uint32_t>(earlier));
}

// A pin owns nothing: buffers belong to the host, variables to the module.
// Pins live in the module's pin array from open until the module is destroyed.
class SEPin {
  public:
    SEPin() = default;
    virtual ~SEPin() = default;

    // Binds the pin to a declaration. A pin declared without a variable keeps
    // its value in `storage`, prepared by datatype (audio pins ask the host
    // for their buffer once, here).
    void init(SEModule_base* owner, int32_t pinIndex, int32_t pinDatatype, void* pinVariable);

    // A status delivered by the host. The module is told of it at once; a
    // status of 1 is seen only while the module is being told, then reads 0.
    void statusChanged(int32_t newStatus);

    // Sends PinStatus for this pin; the pin's own status is not changed.
    void transmitStatus(int32_t clock, int32_t newStatus);

    // The pin's current sample: the element of its host buffer at the host's
    // sample clock. Answers 0.0 where that element cannot be read safely: no
    // buffer, not an audio pin, or a position outside the block size of
    // frames that the host's buffers hold (before it, or at or past its end).
    float getValue();
    // Where getValue reads: the address of the current sample, or null where
    // it cannot be read. A caller that judges the sample does so without
    // having it pass through a function's return.
    const float* currentSample();

    bool isBound() const { return module != nullptr; }
    int32_t getStatus() const { return status; }
    int32_t getIndex() const { return index; }
    int32_t getDatatype() const { return datatype; }
    void* getVariable() const { return variable; }

  private:
    // The pin's own value when no module variable was declared; wide enough
    // for a buffer address on every build.
    union Storage {
        int16_t enumValue;
        uint8_t byteValue;
        float floatValue;
        int32_t intValue;
        float* buffer;
    };

    void* variable = nullptr;         // the module's variable, or &storage
    SEModule_base* module = nullptr;  // owner; null while the pin is unbound
    int32_t index = -1;               // place in the pin array, used in requests and events
    int32_t status = 0;               // last status the host delivered
    int32_t datatype = -1;            // PinDatatype
    Storage storage{};
};
