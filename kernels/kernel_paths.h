// Every way the library can run the kernels, for the tests and the benchmark
// to run each one directly. The host never chooses: kernelForType answers
// from the path chosen once from the processor.
#pragma once

#include <array>
#include <span>

#include "instruction_sets.h"
#include "kernels.h"

namespace velmora {

using KernelTable = std::array<Kernel, kTypeCount>;
// The kernels of designed bodies, by section count (kFewestSections to
// kMostSections), those without a dry term first: tunedKernelIndex gives the
// place.
inline constexpr int kSectionCounts = kMostSections - kFewestSections + 1;
using TunedKernelTable = std::array<TunedKernel, 2 * kSectionCounts>;
using ChannelKernelTable = std::array<ChannelKernel, kTypeCount>;
using TunedChannelKernelTable = std::array<TunedChannelKernel, 2 * kSectionCounts>;
constexpr int tunedKernelIndex(int sections, bool dryTerm) {
    return (dryTerm ? kSectionCounts : 0) + sections - kFewestSections;
}

struct KernelPath {
    const char* name;            // "scalar", "avx2", "avx2 skew 3", ...
    InstructionSet needs;        // what the processor must offer to run it
    const KernelTable* kernels;  // by "Type" value, as kernelForType answers them
    const TunedKernelTable* tuned;
    // The same bodies over many channels, channels in lanes; null on the
    // paths of one stage-lane variant alone.
    const ChannelKernelTable* channels;
    const TunedChannelKernelTable* tunedChannels;
    bool oneVariant;  // one lane variant alone, which the library runs only as
                      // its path's choice for some calls
};

// The scalar kernels, then per instruction set its lane kernels as the
// library runs them (each call choosing its variant by its frame count) and
// each variant alone.
std::span<const KernelPath> kernelPaths();

// The path kernelForType answers from.
const KernelPath& chosenKernelPath();
// The path channelKernelForType answers from: the widest instruction set the
// processor has, whose registers hold the most channels and, with AVX-512F's
// thirty-two of them, the longest bodies' histories.
const KernelPath& chosenChannelPath();

namespace lanes {
// Defined by the instruction sets' own source files.
extern const KernelTable sse2Kernels, sse2Skew2Kernels;
extern const KernelTable avx2Kernels, avx2Skew2Kernels, avx2Skew3Kernels;
extern const KernelTable avx512Kernels, avx512Skew2Kernels, avx512Skew3Kernels;
extern const TunedKernelTable sse2Tuned, sse2Skew2Tuned;
extern const TunedKernelTable avx2Tuned, avx2Skew2Tuned, avx2Skew3Tuned;
extern const TunedKernelTable avx512Tuned, avx512Skew2Tuned, avx512Skew3Tuned;
extern const ChannelKernelTable sse2Channels, avx2Channels, avx512Channels;
extern const TunedChannelKernelTable sse2TunedChannels, avx2TunedChannels, avx512TunedChannels;
}  // namespace lanes

}  // namespace velmora
