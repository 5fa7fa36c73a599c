#include "kernels.h"

#include <algorithm>
#include <iterator>

#include "cascade.h"
#include "coefficients.h"

namespace velmora {

void KernelState::clear() {
    std::fill(std::begin(filterState), std::end(filterState), 0.0);
}

void runPassFilter(KernelState& state, const float* input, float* output, int32_t frames) {
    if (frames <= 0) return;
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
    state.filterState[0] = flushSubnormal(b);
}

Kernel kernelForType(int32_t type) {
    static constexpr Kernel kernels[kTypeCount] = {
        runPassFilter,
        runCascade<bodies::violinI>,
        runCascade<bodies::violinII>,
        runCascade<bodies::violinIII>,
        runCascade<bodies::violaI>,
        runCascade<bodies::violaII>,
        runCascade<bodies::violI>,
        runCascade<bodies::violII>,
        runCascade<bodies::celloI>,
        runCascade<bodies::celloII>,
        runCascade<bodies::bass>,
        runCascade<bodies::contrabass>,
        runCascade<bodies::oboeI>,
        runCascade<bodies::oboeII>,
        runCascade<bodies::corAnglaisI>,
        runCascade<bodies::corAnglaisII>,
        runCascade<bodies::sympathetic>,
    };
    return type >= 0 && type < kTypeCount ? kernels[type] : kernels[1];
}

}  // namespace velmora
