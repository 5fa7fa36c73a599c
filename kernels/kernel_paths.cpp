#include "kernel_paths.h"

#include <cstring>

#include "kernel_table.h"

namespace velmora {

namespace {

constinit const KernelTable scalarKernels = kernelsWith<ScalarEngine>();
constinit const TunedKernelTable scalarTuned = tunedKernelsWith<ScalarEngine>();
constinit const ChannelKernelTable scalarChannels = channelKernelsWith<ScalarEngine>();
constinit const TunedChannelKernelTable scalarTunedChannels =
    tunedChannelKernelsWith<ScalarEngine>();

constinit const KernelPath paths[] = {
    {"scalar", InstructionSet::Sse2, &scalarKernels, &scalarTuned, &scalarChannels,
     &scalarTunedChannels, false},
    {"sse2", InstructionSet::Sse2, &lanes::sse2Kernels, &lanes::sse2Tuned, &lanes::sse2Channels,
     &lanes::sse2TunedChannels, false},
    {"sse2 skew 2", InstructionSet::Sse2, &lanes::sse2Skew2Kernels, &lanes::sse2Skew2Tuned, nullptr,
     nullptr, true},
    {"avx2", InstructionSet::Avx2, &lanes::avx2Kernels, &lanes::avx2Tuned, &lanes::avx2Channels,
     &lanes::avx2TunedChannels, false},
    {"avx2 skew 2", InstructionSet::Avx2, &lanes::avx2Skew2Kernels, &lanes::avx2Skew2Tuned, nullptr,
     nullptr, true},
    {"avx2 skew 3", InstructionSet::Avx2, &lanes::avx2Skew3Kernels, &lanes::avx2Skew3Tuned, nullptr,
     nullptr, true},
    {"avx512f", InstructionSet::Avx512f, &lanes::avx512Kernels, &lanes::avx512Tuned,
     &lanes::avx512Channels, &lanes::avx512TunedChannels, false},
    {"avx512f skew 2", InstructionSet::Avx512f, &lanes::avx512Skew2Kernels,
     &lanes::avx512Skew2Tuned, nullptr, nullptr, true},
    {"avx512f skew 3", InstructionSet::Avx512f, &lanes::avx512Skew3Kernels,
     &lanes::avx512Skew3Tuned, nullptr, nullptr, true},
};

// The widest instruction set the processor has, with one exception: the
// 64-bit library runs the four-lane AVX2 kernels where AVX-512F is present
// too. With sixteen vector registers they hold a body's stages without
// spilling, and on the project's machine they measured faster than the
// eight-lane ones (BENCHMARKS.md). The 32-bit library has eight registers,
// and there one eight-lane register holds what takes two of four.
const KernelPath& named(const char* name) {
    for (const KernelPath& path : paths) {
        if (std::strcmp(path.name, name) == 0) return path;
    }
    return paths[0];
}

const KernelPath& choose() {
    if (processorSupports(InstructionSet::Avx512f) && sizeof(void*) == 4) return named("avx512f");
    if (processorSupports(InstructionSet::Avx2)) return named("avx2");
    return named("sse2");
}

// Channels in lanes: on the project's machine, eight channels of a body of
// five stages cost the same in one AVX-512F register as in two AVX2 ones, and
// the longer bodies far less, their histories no longer spilling from the
// registers (BENCHMARKS.md).
const KernelPath& chooseForChannels() {
    if (processorSupports(InstructionSet::Avx512f)) return named("avx512f");
    return choose();
}

}  // namespace

std::span<const KernelPath> kernelPaths() {
    return paths;
}

const KernelPath& chosenKernelPath() {
    static const KernelPath& chosen = choose();
    return chosen;
}

const KernelPath& chosenChannelPath() {
    static const KernelPath& chosen = chooseForChannels();
    return chosen;
}

}  // namespace velmora
