// A module instance under test: the reference host's Instance, its pin
// variables written from its own declarations, and every call into the
// module made under the floating-point watch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "abi.h"
#include "fp_environment.h"
#include "instance.h"
#include "module_library.h"

namespace velmora::validate {

class Subject {
  public:
    // `pinCount` is the host's answer to PinCount.
    Subject(const host::ModuleLibrary& library, FpWatch& watch, int32_t pinCount = 3);
    ~Subject() { close(); }
    Subject(const Subject&) = delete;
    Subject& operator=(const Subject&) = delete;

    // makeModule, then the declarations (which give the variables' addresses).
    bool create(std::string& error);
    bool alive() const { return host.alive(); }
    ModuleEntry* entry() const { return host.entry(); }
    ProcessFunction processFunction() const { return alive() ? entry()->process : nullptr; }

    intptr_t dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* pointer = nullptr,
                      float floatValue = 0.0f);
    void open() { dispatch(OpcodeOpen); }
    void setSampleRate(float rate) { dispatch(OpcodeSetSampleRate, 0, 0, nullptr, rate); }
    void setBlockSize(int32_t frames) { dispatch(OpcodeSetBlockSize, 0, frames); }
    void close();

    void event(ModuleEvent& event);
    void pinStatus(intptr_t pin, int32_t status);
    void process(int32_t offset, int32_t frames);

    // Writes through the variable addresses the declarations gave.
    bool setAudio(int32_t pin, float* buffer) { return host::writePinVariable(pins, pin, buffer); }
    bool setType(int32_t pin, int16_t value) { return host::writePinVariable(pins, pin, value); }
    const std::vector<PinProperties>& declarations() const { return pins; }

    // The host's answers (PinCount, SampleClock, PinBufferClock) and the
    // requests received.
    host::Instance host;
    // The requests received since the last clearRequests().
    const std::vector<host::Request>& requests() const { return host.requests; }
    void clearRequests() { host.requests.clear(); }

  private:
    FpWatch& watch;
    std::vector<PinProperties> pins;
};

}  // namespace velmora::validate
