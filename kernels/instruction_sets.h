// The x86 instruction sets the kernels have paths for, and which of them the
// processor running the library offers. Asked of the processor once; nothing
// else (no setting, no file, no environment) chooses a path.
#pragma once

namespace velmora {

// Each includes the ones before it.
enum class InstructionSet {
    Sse2,     // every x86-64 processor, and the least the 32-bit library asks for
    Avx2,     // 256-bit registers, four doubles
    Avx512f,  // 512-bit registers, eight doubles
};

// Whether the processor has `set` and the operating system saves its
// registers on a switch of thread.
bool processorSupports(InstructionSet set);

const char* nameOf(InstructionSet set);

}  // namespace velmora
