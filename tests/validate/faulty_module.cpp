// A module library with a fault of one's choosing: it wraps the real module
// and, as VELMORA_FAULT names, breaks one rule the way real modules break
// it. Without a fault it passes everything through unchanged, so whatever
// the validator reports against it is the fault's doing.
#include <dlfcn.h>
#include <xmmintrin.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "abi.h"
#include "kernels.h"

namespace {

enum class Fault {
    None,
    FpControl,       // the kernels turn on flush-to-zero and leave it on
    WritesInput,     // the kernels scale the host's input in place
    BlockEdge,       // every call treats its first frame as a stream's first
    SpuriousChange,  // ProcessChanged after every event, changed or not
    NoIdle,          // silence never asks for Idle
    SharedHistory,   // a little of one instance's output leaks into the next call
    NullEvent,       // a null event is followed
    ReadsPastBlock,  // the output's current sample is read wherever the clocks point
    NegativeOffset,  // a negative offset is followed before the host's buffer
    HostFpModes,     // the output depends on the host's rounding and flushing modes
    CarriedHistory,  // a new body takes over the history the old one left
};

Fault fault() {
    static const Fault chosen = [] {
        const char* name = std::getenv("VELMORA_FAULT");
        const std::string text = name != nullptr ? name : "";
        if (text == "fp-control") return Fault::FpControl;
        if (text == "writes-input") return Fault::WritesInput;
        if (text == "block-edge") return Fault::BlockEdge;
        if (text == "spurious-change") return Fault::SpuriousChange;
        if (text == "no-idle") return Fault::NoIdle;
        if (text == "shared-history") return Fault::SharedHistory;
        if (text == "null-event") return Fault::NullEvent;
        if (text == "reads-past-block") return Fault::ReadsPastBlock;
        if (text == "negative-offset") return Fault::NegativeOffset;
        if (text == "host-fp-modes") return Fault::HostFpModes;
        if (text == "carried-history") return Fault::CarriedHistory;
        return Fault::None;
    }();
    return chosen;
}

struct Real {
    GetModulePropertiesFunction properties = nullptr;
    MakeModuleFunction make = nullptr;
};

const Real& real() {
    static const Real functions = [] {
        Real r;
        void* library = dlopen(VELMORA_WRAPPED_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) std::abort();
        r.properties =
            reinterpret_cast<GetModulePropertiesFunction>(dlsym(library, "getModuleProperties"));
        r.make = reinterpret_cast<MakeModuleFunction>(dlsym(library, "makeModule"));
        return r;
    }();
    return functions;
}

struct Wrapper {
    ModuleEntry entry;  // first, so the host's record is the wrapper's address
    ModuleEntry* inner = nullptr;
    HostCallback callback = nullptr;
    void* variables[3] = {};
    ProcessRecord record{};
    ProcessRecordInfo info{};
    velmora::KernelState carried;  // one history that every body plays on
    std::vector<float> input;      // the block's input, kept from an in-place kernel
};

intptr_t SE_CDECL probeCallback(ModuleEntry*, int32_t opcode, int32_t, int32_t, void*, float) {
    return opcode == PinCount ? 3 : 0;
}

// The body each of the real module's kernels plays, learnt from instances
// opened on each type; -1 for every other process function (silence).
int bodyOf(ProcessFunction function) {
    static const auto kernels = [] {
        std::array<ProcessFunction, velmora::kTypeCount> found{};
        for (int type = 0; type < velmora::kTypeCount; ++type) {
            ModuleEntry* probe = real().make(0, 1, probeCallback, 0);
            if (probe == nullptr) std::abort();
            probe->dispatch(probe, OpcodeOpen, 0, 0, nullptr, 0.0f);
            PinProperties pin{};
            probe->dispatch(probe, OpcodeGetPinProperties, 1, 0, &pin, 0.0f);
            *static_cast<int16_t*>(pin.variable) = static_cast<int16_t>(type);
            probe->dispatch(probe, OpcodeOpen, 0, 0, nullptr, 0.0f);
            found[static_cast<size_t>(type)] = probe->process;
            probe->dispatch(probe, OpcodeClose, 0, 0, nullptr, 0.0f);
        }
        return found;
    }();
    const auto found = std::find(kernels.begin(), kernels.end(), function);
    return found == kernels.end() ? -1 : static_cast<int>(found - kernels.begin());
}

float sharedCarry = 0.0f;

// One trampoline per real process function, so that distinct functions stay
// distinct to the host.
constexpr int kSlots = 32;
ProcessFunction innerFunctions[kSlots];

template <int slot>
void SE_CDECL trampoline(void* module, int32_t offset, int32_t frames) {
    auto* w = static_cast<Wrapper*>(module);
    float* in = w->variables[0] != nullptr ? *static_cast<float**>(w->variables[0]) : nullptr;
    float* out = w->variables[2] != nullptr ? *static_cast<float**>(w->variables[2]) : nullptr;
    if (fault() == Fault::CarriedHistory && frames > 0 && offset >= 0 && in != nullptr)
        w->input.assign(in + offset, in + offset + frames);
    innerFunctions[slot](w->inner->module, offset, frames);
    if (frames <= 0 || in == nullptr || out == nullptr) return;
    if (offset < 0) {
        // Within the room a host leaves before its buffers, where a write shows.
        if (fault() == Fault::NegativeOffset && offset >= -64)
            std::fill_n(out + offset, frames, 0.0f);
        return;
    }
    switch (fault()) {
        case Fault::HostFpModes:
            if ((_mm_getcsr() & 0xFFC0) != 0x1F80) out[offset] = std::nextafter(out[offset], 1.0f);
            break;
        case Fault::FpControl:
            _mm_setcsr(_mm_getcsr() | 0x8040);
            break;
        case Fault::WritesInput:
            in[offset] *= 0.5f;
            break;
        case Fault::BlockEdge:
            out[offset] *= 0.5f;
            break;
        case Fault::SharedHistory:
            out[offset] += sharedCarry * 1e-3f;
            sharedCarry = out[offset + frames - 1];
            break;
        case Fault::CarriedHistory: {
            // The rule before changes of body faded: one history, which the
            // next body plays on as it finds it; silence clears it.
            const int body = bodyOf(innerFunctions[slot]);
            if (body < 0) {
                w->carried.clear();
            } else {
                velmora::kernelForType(body)(w->carried, w->input.data(), out + offset, frames);
            }
            break;
        }
        default:
            break;
    }
}

template <size_t... i>
constexpr auto makeTable(std::index_sequence<i...>) {
    return std::array<ProcessFunction, sizeof...(i)>{trampoline<static_cast<int>(i)>...};
}
constexpr auto kTrampolines = makeTable(std::make_index_sequence<kSlots>{});

ProcessFunction wrapped(ProcessFunction function) {
    for (int i = 0; i < kSlots; ++i) {
        if (innerFunctions[i] == function) return kTrampolines[i];
        if (innerFunctions[i] == nullptr) {
            innerFunctions[i] = function;
            return kTrampolines[i];
        }
    }
    std::abort();
}

void follow(Wrapper& w) {
    w.entry.process = wrapped(w.inner->process);
    w.record.function = w.entry.process;
}

intptr_t SE_CDECL innerCallback(ModuleEntry* entry, int32_t opcode, int32_t index, int32_t value,
                                void* pointer, float floatValue) {
    auto* w = reinterpret_cast<Wrapper*>(entry->hostValue);
    if (opcode == ProcessChanged) follow(*w);
    if (opcode == Idle && fault() == Fault::NoIdle) return 0;
    return w->callback != nullptr
               ? w->callback(&w->entry, opcode, index, value, pointer, floatValue)
               : 0;
}

intptr_t SE_CDECL dispatch(ModuleEntry* entry, int32_t opcode, int32_t index, int32_t value,
                           void* pointer, float floatValue) {
    if (entry == nullptr) return 0;
    auto* w = reinterpret_cast<Wrapper*>(entry);
    if (opcode == OpcodeGetProcessRecord) {
        w->info = ProcessRecordInfo{1, sizeof(ProcessRecord), &w->record, 0};
        return reinterpret_cast<intptr_t>(&w->info);
    }
    // A module that knows no block size reads its output wherever the clocks point.
    if (opcode == OpcodeSetBlockSize && fault() == Fault::ReadsPastBlock) value = INT32_MAX;
    if (opcode == OpcodeOpen) w->carried.clear();
    const intptr_t answer = w->inner->dispatch(w->inner, opcode, index, value, pointer, floatValue);
    if (opcode == OpcodeClose) {
        delete w;
        return answer;
    }
    if (opcode == OpcodeGetPinProperties && answer == 1 && index >= 0 && index < 3) {
        w->variables[index] = static_cast<PinProperties*>(pointer)->variable;
    }
    follow(*w);
    return answer;
}

void SE_CDECL event(void* module, ModuleEvent* e) {
    if (module == nullptr) return;
    auto* w = static_cast<Wrapper*>(module);
    if (e == nullptr && fault() != Fault::NullEvent) return;
    if (e->type == EventRunOperation) {
        // Operations run on the module the host knows.
        if (e->pointer != 0) reinterpret_cast<ModuleOperation>(e->pointer)(module);
        return;
    }
    w->inner->event(w->inner->module, e);
    follow(*w);
    if (fault() == Fault::SpuriousChange && w->callback != nullptr) {
        w->callback(&w->entry, ProcessChanged, 0, 0, nullptr, 0.0f);
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t getModuleProperties(int32_t index,
                                                                   ModuleProperties* record) {
    return real().properties(index, record);
}

__attribute__((visibility("default"))) ModuleEntry* makeModule(int32_t index, int32_t kind,
                                                               HostCallback callback,
                                                               intptr_t hostValue) {
    auto* w = new Wrapper;
    w->inner = real().make(index, kind, innerCallback, reinterpret_cast<intptr_t>(w));
    if (w->inner == nullptr) {
        delete w;
        return nullptr;
    }
    w->callback = callback;
    std::memset(&w->entry, 0, sizeof w->entry);
    w->entry.magic = kModuleEntryMagic;
    w->entry.version = 1;
    w->entry.hostValue = hostValue;
    w->entry.module = w;
    w->entry.dispatch = dispatch;
    w->entry.event = event;
    follow(*w);
    return &w->entry;
}

}  // extern "C"
