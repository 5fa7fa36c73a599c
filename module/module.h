// Velmora: a fixed-coefficient instrument-body resonance filter with three
// pins, "Signal" in, "Type" in and "Output" out.
#pragma once

#include <cstdint>

#include "body_filter.h"
#include "se_module_base.h"

class Module : public SEModule_base {
  public:
    Module(HostCallback callback, intptr_t hostValue) : SEModule_base(callback, hostValue) {}

    void onPinStatusChange(SEPin* pin) override;
    void open() override;
    bool getPinProperties(int32_t index, PinProperties* record) override;

    // Installed while the input is not active: writes silence and, once a
    // block's worth of frames has passed, asks the host to let it idle.
    static void SE_CDECL processSilence(void* module, int32_t offset, int32_t frames);

    // The module from the address the host hands to a process function.
    static Module& from(void* module) { return static_cast<Module&>(*fromHandle(module)); }

    // The host writes the two buffer addresses and `type` through the
    // variable addresses the pins describe.
    float* inBuffer = nullptr;     // the host's "Signal" buffer
    float* outBuffer = nullptr;    // the host's "Output" buffer
    int32_t silenceCountdown = 0;  // frames left before silence asks for Idle
    // The body playing, its history and any crossfade from the one before.
    velmora::BodyFilter body;
    int16_t type = 1;  // "Type" pin value
};
