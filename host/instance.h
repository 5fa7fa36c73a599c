// One module instance driven the way a host drives it: created through
// makeModule, reached only through its ModuleEntry, answering its requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "abi.h"
#include "module_library.h"

namespace velmora::host {

// A request the module sent through the host callback, as it arrived.
struct Request {
    int32_t opcode;
    int32_t index;
    int32_t value;
    intptr_t pointer;
    float floatValue;
};

// Writes `value` through the variable address that declaration `pin` gave;
// false when there is no such declaration or it gave no address.
template <class Value>
bool writePinVariable(const std::vector<PinProperties>& declarations, int32_t pin, Value value) {
    if (pin < 0 || pin >= static_cast<int32_t>(declarations.size())) return false;
    void* variable = declarations[static_cast<size_t>(pin)].variable;
    if (variable == nullptr) return false;
    *static_cast<Value*>(variable) = value;
    return true;
}

class Instance {
  public:
    // `pinCount` is the host's answer to PinCount: how many pins it holds.
    explicit Instance(const ModuleLibrary& library, int32_t pinCount = 3);
    ~Instance();  // closes the instance if it is still alive
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // makeModule(0, 1, ...) and a check of the record it answers; false with
    // `error` saying what went wrong.
    bool create(std::string& error);
    bool alive() const { return record != nullptr; }
    ModuleEntry* entry() const { return record; }

    // The dispatcher, as it is: any opcode and arguments.
    intptr_t dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* pointer = nullptr,
                      float floatValue = 0.0f);

    // Opcode 0, then the pin declarations (opcode 6) so that the host knows
    // each pin's variable address.
    void open();
    // The pin declarations without opening. A module answers them from
    // creation on, so a host can write a pin's variable before open: open
    // then starts from that value instead of treating it as a change.
    void readDeclarations();
    void setSampleRate(float rate) { dispatch(OpcodeSetSampleRate, 0, 0, nullptr, rate); }
    void setBlockSize(int32_t frames) { dispatch(OpcodeSetBlockSize, 0, frames); }
    bool describePin(int32_t index, PinProperties& record);
    const std::vector<PinProperties>& pins() const { return declarations; }
    const ProcessRecordInfo* processRecordInfo();
    void close();  // opcode 1; the record is gone afterwards

    // Writes through the variable address that the pin's declaration gave.
    bool setBuffer(int32_t pin, float* buffer) {
        return writePinVariable(declarations, pin, buffer);
    }
    bool setEnum(int32_t pin, int16_t value) { return writePinVariable(declarations, pin, value); }

    // A status change for a pin, delivered as an event of type 0.
    void sendPinStatus(int32_t pin, int32_t status);
    void sendEvent(ModuleEvent& event);

    // The current process function over `frames` frames from `offset`.
    void process(int32_t offset, int32_t frames);

    // Runs `frames` samples from `input` to `output` in blocks of `blockFrames`,
    // handing the module each block's buffers at offset 0 and advancing the
    // sample clock, as a host's audio loop does. Pins 0 and 2 are the module's
    // audio input and output.
    void run(const float* input, float* output, int32_t frames, int32_t blockFrames);
    // The same with the audio pins named, for hosts that find them by declaration.
    void run(const float* input, float* output, int32_t frames, int32_t blockFrames,
             int32_t inputPin, int32_t outputPin);

    // The host's side of the conversation, answered to the module.
    int32_t pinCount;                   // PinCount answer
    int32_t sampleClock = 0;            // SampleClock answer
    std::vector<intptr_t> pinBuffers;   // PinBuffer answer per pin index
    std::vector<int32_t> bufferClocks;  // PinBufferClock answer per pin index
    std::vector<Request> requests;      // every request received, in order

    int countRequests(int32_t opcode) const;
    void clearRequests() { requests.clear(); }

  private:
    static intptr_t SE_CDECL callback(ModuleEntry* entry, int32_t opcode, int32_t index,
                                      int32_t value, void* pointer, float floatValue);
    intptr_t answer(const Request& request);

    const ModuleLibrary& library;
    ModuleEntry* record = nullptr;
    std::vector<PinProperties> declarations;
};

}  // namespace velmora::host
