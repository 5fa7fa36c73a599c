#include "kernels.h"

#include <algorithm>
#include <array>
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
    static constexpr auto kernels = []<const auto&... body>(bodies::BodySequence<body...>) {
        return std::array<Kernel, kTypeCount>{runPassFilter, runCascade<body>...};
    }
    (bodies::CascadesByType{});
    return type >= 0 && type < kTypeCount ? kernels[type] : kernels[1];
}

}  // namespace velmora
