// The base of every module: the connection to the host, the host-facing
// record, the pins and the current process function.
#pragma once

#include <cstdint>
#include <vector>

#include "abi.h"
#include "se_pin.h"

class SEModule_base {
  public:
    // Open makes at most this many pins, whatever the host answers to
    // PinCount: far more than any module declares.
    static constexpr int32_t kMostPins = 65536;

    SEModule_base(HostCallback callback, intptr_t hostValue);
    SEModule_base(const SEModule_base&) = delete;
    SEModule_base& operator=(const SEModule_base&) = delete;

    // Every host-driven step is a virtual operation with a do-nothing or
    // answer-false default; a module overrides what it needs. The order of
    // declaration is the published slot order.
    virtual ~SEModule_base();
    virtual void onPinStatusChange(SEPin* pin);
    virtual void handleEvent(const ModuleEvent* event);
    virtual intptr_t dispatch(int32_t opcode, int32_t index, int32_t value, void* pointer,
                              float floatValue);
    virtual void open();
    virtual void close() {}
    virtual void spareHook(int32_t, int32_t) {}
    virtual void setSampleRate(float rate) { sampleRate = rate; }
    virtual void setBlockSize(int32_t size) { blockSize = size; }
    virtual float getSampleRate() { return sampleRate; }
    virtual int32_t getBlockSize() { return blockSize; }
    virtual bool getPinProperties(int32_t index, PinProperties* record);
    virtual bool spareTestA(int32_t) { return false; }
    virtual bool spareTestB(int32_t) { return false; }
    virtual void hookOpcode8() {}
    virtual void hookOpcode8Index(int32_t) {}
    virtual void hookEvent2(int32_t, int32_t, uint16_t) {}
    virtual void hookOpcode12(int32_t, int32_t, void*) {}

    // Makes `function` current, in the entry record and the process record,
    // and tells the host; choosing the current function again sends nothing.
    void setProcessFunction(ProcessFunction function);

    // Every request to the host goes through here; without a callback it answers 0.
    intptr_t callHost(int32_t opcode, int32_t index = 0, int32_t value = 0, void* pointer = nullptr,
                      float floatValue = 0.0f);
    int32_t getSampleClock();

    // The pin at that place in the array; callers stay below getPinCount().
    SEPin* getPin(int32_t index) { return &pins[index]; }
    int32_t getPinCount() const { return pinCount; }

    ModuleEntry* getEntry() { return &entry; }
    ProcessFunction getProcessFunction() const { return processRecord.function; }

    // The host's view of an instance: the module address it is handed back.
    static SEModule_base* fromHandle(void* module) { return static_cast<SEModule_base*>(module); }

  private:
    // A second open replaces the pin array. While a request to the host is
    // under way (the host may open again from inside its answer), the frames
    // that sent it may still hold a pin of the old array, so it is kept until
    // the outermost open or event has returned.
    void releasePins();
    void releaseRetiredPins();

    HostCallback hostCallback;    // the host's callback, or null
    ModuleEntry entry;            // the host-facing record; module points back here
    float sampleRate = 44100.0f;  // set by opcode 2
    int32_t blockSize = 1024;     // set by opcode 3
    SEPin* pins = nullptr;        // pin array, made at open; owned here
    int32_t pinCount = 0;         // pins in the array (the host's PinCount answer, capped)
    ProcessRecord processRecord;  // the current process function, shown by opcode 13
    // The answer to opcode 13: the instance's own, valid while it lives.
    ProcessRecordInfo processRecordInfo{};
    int32_t requestsUnderWay = 0;     // calls into the host not yet returned
    std::vector<SEPin*> retiredPins;  // arrays replaced while a request was under way
};

// A process function that does nothing: current from creation until the module
// installs one of its own.
void SE_CDECL emptyProcess(void* module, int32_t offset, int32_t frames);
