#include "kernels.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "cascade.h"
#include "default_fp_modes.h"
#include "kernel_paths.h"

namespace velmora {

void KernelState::clear() {
    std::fill(std::begin(filterState), std::end(filterState), 0.0);
}

void runPassFilter(KernelState& state, const float* input, float* output, int32_t frames) {
    if (frames <= 0) return;
    const DefaultFpModes modes;
    double b = state.filterState[0];  // the accumulator
    auto frame = [&](int32_t i) {
        const double next = (b + static_cast<double>(input[i])) * 0.9994;
        output[i] = static_cast<float>(next - b);
        b = next;
    };
    int32_t i = 0;
    for (; frames - i >= 4; i += 4) {
        frame(i);
        frame(i + 1);
        frame(i + 2);
        frame(i + 3);
    }
    for (; i < frames; ++i)
        frame(i);
    // As in the cascades: a NaN or an infinity is not carried into the next call.
    state.filterState[0] = std::isfinite(b) ? flushSubnormal(b) : 0.0;
}

Kernel kernelForType(int32_t type) {
    const KernelTable& kernels = *chosenKernelPath().kernels;
    return kernels[bodyOfType(type)];
}

ChannelKernel channelKernelForType(int32_t type) {
    const ChannelKernelTable& kernels = *chosenChannelPath().channels;
    return kernels[bodyOfType(type)];
}

}  // namespace velmora
