#include "kernel_paths.h"

#include "kernel_table.h"

namespace velmora {

namespace {

constinit const KernelTable scalarKernels = kernelsWith<ScalarEngine>();

constinit const KernelPath paths[] = {
    {"scalar", InstructionSet::Sse2, &scalarKernels, false},
    {"sse2", InstructionSet::Sse2, &lanes::sse2Kernels, false},
    {"sse2 skew 2", InstructionSet::Sse2, &lanes::sse2Skew2Kernels, true},
    {"sse2 skew 3", InstructionSet::Sse2, &lanes::sse2Skew3Kernels, true},
    {"avx2", InstructionSet::Avx2, &lanes::avx2Kernels, false},
    {"avx2 skew 2", InstructionSet::Avx2, &lanes::avx2Skew2Kernels, true},
    {"avx2 skew 3", InstructionSet::Avx2, &lanes::avx2Skew3Kernels, true},
    {"avx512f", InstructionSet::Avx512f, &lanes::avx512Kernels, false},
    {"avx512f skew 2", InstructionSet::Avx512f, &lanes::avx512Skew2Kernels, true},
    {"avx512f skew 3", InstructionSet::Avx512f, &lanes::avx512Skew3Kernels, true},
};

}  // namespace

std::span<const KernelPath> kernelPaths() {
    return paths;
}

const KernelPath& chosenKernelPath() {
    return paths[0];
}

}  // namespace velmora
