// The binary interface between a host and a module library.
//
// This header stands on its own: a host includes it to load the library, and
// the module's own code includes it for the same records. Every record here is
// shared memory between two programs built by different compilers, so each is
// a plain struct of 32-bit integers and pointer-sized values in field order,
// with its 32-bit layout asserted below it.
//
// On 32-bit Windows the layout is the published one. Wider builds keep the
// field order, keep integers at 32 bits and widen every address (and the host
// value) to pointer size; hosts of those builds are built against this header.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define SE_CDECL __cdecl
#else
#define SE_CDECL
#endif

extern "C" {

struct ModuleEntry;
struct ModuleEvent;

// Every function that crosses the boundary is a free function whose caller
// removes the arguments.

// The host's side: one callback per instance, given to makeModule. `entry` is
// the asking instance's record; the answer is pointer-sized because PinBuffer
// answers an address.
using HostCallback = intptr_t(SE_CDECL*)(ModuleEntry* entry, int32_t opcode, int32_t index,
                                         int32_t value, void* pointer, float floatValue);

// The dispatcher: same arguments as the host callback; opcode 13 answers an address.
using DispatchEntry = intptr_t(SE_CDECL*)(ModuleEntry* entry, int32_t opcode, int32_t index,
                                          int32_t value, void* pointer, float floatValue);

// The per-block process entry: `module` is ModuleEntry::module, `offset` the first
// frame in every pin buffer, `frames` the number of frames.
using ProcessFunction = void(SE_CDECL*)(void* module, int32_t offset, int32_t frames);

// The event entry: `module` is ModuleEntry::module (not the record's address).
using EventEntry = void(SE_CDECL*)(void* module, ModuleEvent* event);

// An operation named by an event of type 21; it runs on the module it is sent to.
using ModuleOperation = void(SE_CDECL*)(void* module);

// Magic number at the start of every ModuleEntry: bytes 7B 50 45 53 in memory order.
inline constexpr int32_t kModuleEntryMagic = 0x5345507B;

// Lives inside the instance, at one address from makeModule until Close (opcode 1)
// has answered. Written by the module; the host only reads it. Cleared to zero
// before it is filled; only `process` changes after creation.
struct ModuleEntry {
    int32_t magic;            // kModuleEntryMagic
    int32_t version;          // always 1
    intptr_t hostValue;       // the value given to makeModule; the host's, never read by the module
    void* module;             // the instance that holds this record; passed to process and event
    void* reserved;           // always null
    DispatchEntry dispatch;   // opcode dispatcher
    ProcessFunction process;  // current process function; at creation one that does nothing
    EventEntry event;         // event entry
    int32_t zero[4];          // always 0
};

// Provided by the host and filled by getModuleProperties. The texts are the
// library's constant data: valid while the library is loaded, freed by no one.
struct ModuleProperties {
    const char* name;   // module name, zero-terminated
    const char* id;     // identifier: the same text at the same address as the name
    const char* about;  // about text, four lines separated by line feeds
    void* reserved1;    // never written
    void* reserved2;    // never written
    int32_t version;    // always written, whatever the index
};

// Provided by the host for one call of the event entry; the module keeps nothing of it.
struct ModuleEvent {
    int32_t first;        // first argument of hookEvent2 (type 2)
    int32_t type;         // 0 pin status, 2 hook, 21 run an operation; others ignored
    int32_t value;        // new status (type 0), second argument of hookEvent2 (type 2)
    uint16_t shortValue;  // third argument of hookEvent2 (type 2)
    uint16_t unused;      // never read
    intptr_t pointer;     // pin index (type 0) or a ModuleOperation (type 21)
};

// One pin declaration, answered through opcode 6 into a record the host provides.
// The texts are the library's constant data.
struct PinProperties {
    void* variable;           // the module's variable for this pin, or null (the pin keeps its own)
    int32_t direction;        // 0 input, 1 output
    int32_t datatype;         // PinDatatype
    const char* name;         // pin name
    const char* defaultText;  // default value as text, or null
    const char* extraText;    // extra text, or null; for an enumeration, its list of values
    int32_t flags;            // PinFlag bits
    int32_t reserved;         // never written or read by the module
};

// The current process function, inside the instance; visible through opcode 13.
struct ProcessRecord {
    ProcessFunction function;  // same address as ModuleEntry::process
    int32_t zero[3];           // always 0
};

// The answer to opcode 13: each instance's own record, at one address for as
// long as the instance lives, whichever thread asked.
struct ProcessRecordInfo {
    int32_t one;            // always 1
    int32_t size;           // sizeof(ProcessRecord)
    ProcessRecord* record;  // the asking instance's ProcessRecord
    int32_t zero;           // always 0
};

// getModuleProperties(index, record): 1 and the record filled for index 0, else 0.
// The version field is written in both cases.
using GetModulePropertiesFunction = int32_t(SE_CDECL*)(int32_t index, ModuleProperties* record);

// makeModule(index, kind, callback, hostValue): the new instance's record, or null.
using MakeModuleFunction = ModuleEntry*(SE_CDECL*)(int32_t index, int32_t kind,
                                                   HostCallback callback, intptr_t hostValue);

}  // extern "C"

// Dispatcher opcodes (host to module).
enum Opcode : int32_t {
    OpcodeOpen = 0,
    OpcodeClose = 1,
    OpcodeSetSampleRate = 2,
    OpcodeSetBlockSize = 3,
    OpcodeGetPinProperties = 6,
    OpcodeHook8 = 8,
    OpcodeHook12 = 12,
    OpcodeGetProcessRecord = 13,
};

// Host requests (module to host), sent through HostCallback.
enum HostRequest : int32_t {
    PinStatus = 0,
    SampleClock = 3,
    PinBuffer = 7,
    PinBufferClock = 8,
    Idle = 10,
    PinCount = 14,
    ProcessChanged = 22,
};

// Event types.
enum EventType : int32_t {
    EventPinStatus = 0,
    EventHook2 = 2,
    EventRunOperation = 21,
};

enum PinDatatype : int32_t {
    PinTypeEnum = 0,
    PinTypeByte = 4,
    PinTypeAudio = 5,
    PinTypeFloat = 6,
    PinTypeInt = 8,
};

enum PinFlag : int32_t {
    PinFlagRepeat = 0x8,
    PinFlagSkip = 0x400,
    PinFlagKeep = 0x8000,
};

enum PinDirection : int32_t {
    PinDirectionInput = 0,
    PinDirectionOutput = 1,
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(void*) == 4);
static_assert(sizeof(ModuleEntry) == 48);
static_assert(offsetof(ModuleEntry, magic) == 0);
static_assert(offsetof(ModuleEntry, version) == 4);
static_assert(offsetof(ModuleEntry, hostValue) == 8);
static_assert(offsetof(ModuleEntry, module) == 12);
static_assert(offsetof(ModuleEntry, reserved) == 16);
static_assert(offsetof(ModuleEntry, dispatch) == 20);
static_assert(offsetof(ModuleEntry, process) == 24);
static_assert(offsetof(ModuleEntry, event) == 28);
static_assert(offsetof(ModuleEntry, zero) == 32);

static_assert(sizeof(ModuleProperties) == 24);
static_assert(offsetof(ModuleProperties, name) == 0);
static_assert(offsetof(ModuleProperties, id) == 4);
static_assert(offsetof(ModuleProperties, about) == 8);
static_assert(offsetof(ModuleProperties, reserved1) == 12);
static_assert(offsetof(ModuleProperties, reserved2) == 16);
static_assert(offsetof(ModuleProperties, version) == 20);

static_assert(sizeof(ModuleEvent) == 20);
static_assert(offsetof(ModuleEvent, first) == 0);
static_assert(offsetof(ModuleEvent, type) == 4);
static_assert(offsetof(ModuleEvent, value) == 8);
static_assert(offsetof(ModuleEvent, shortValue) == 12);
static_assert(offsetof(ModuleEvent, unused) == 14);
static_assert(offsetof(ModuleEvent, pointer) == 16);

static_assert(sizeof(PinProperties) == 32);
static_assert(offsetof(PinProperties, variable) == 0);
static_assert(offsetof(PinProperties, direction) == 4);
static_assert(offsetof(PinProperties, datatype) == 8);
static_assert(offsetof(PinProperties, name) == 12);
static_assert(offsetof(PinProperties, defaultText) == 16);
static_assert(offsetof(PinProperties, extraText) == 20);
static_assert(offsetof(PinProperties, flags) == 24);
static_assert(offsetof(PinProperties, reserved) == 28);

static_assert(sizeof(ProcessRecord) == 16);
static_assert(offsetof(ProcessRecord, function) == 0);
static_assert(offsetof(ProcessRecord, zero) == 4);

static_assert(sizeof(ProcessRecordInfo) == 16);
static_assert(offsetof(ProcessRecordInfo, one) == 0);
static_assert(offsetof(ProcessRecordInfo, size) == 4);
static_assert(offsetof(ProcessRecordInfo, record) == 8);
static_assert(offsetof(ProcessRecordInfo, zero) == 12);
#endif
