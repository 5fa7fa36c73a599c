// The kernels written out literally, as a second opinion on every bit: the
// state stays in filterState and each sample moves 2N-1 elements down by one
// before the stages run. Slow on purpose; the tests compare the real kernels
// with it and the benchmark measures them against it.
#pragma once

#include <cstdint>
#include <cstring>

#include "coefficients.h"
#include "kernels.h"

namespace velmora::reference {

template <const auto& body>
void cascade(KernelState& m, const float* input, float* output, int32_t frames) {
    constexpr int N = static_cast<int>(std::remove_cvref_t<decltype(body)>::stageCount);
    double* s = m.filterState;
    for (int32_t i = 0; i < frames; ++i) {
        const double x = input[i];
        const double t = body.gain(x);

        const double older0 = s[0];  // y_0[n-2]
        std::memmove(s, s + 1, (2 * N - 1) * sizeof(double));
        double y = (t - body.stages[0].a * older0) - body.stages[0].b * s[0];
        double older = older0;
        for (int k = 1; k < N; ++k) {
            const double olderK = s[2 * k - 1];  // y_k[n-2], read before it is overwritten
            s[2 * k - 1] = y;                    // y_{k-1}[n]
            const double input =
                k == N - 1 ? body.intoLastStage(y, s[2 * k - 2], older) : y - older;
            y = (input - body.stages[k].a * olderK) - body.stages[k].b * s[2 * k];
            older = olderK;
        }
        s[2 * N - 1] = y;
        const double filtered = body.output(y, s[2 * N - 2], older);
        output[i] = static_cast<float>(body.mix(filtered, x));
    }
}

inline void passFilter(KernelState& m, const float* input, float* output, int32_t frames) {
    for (int32_t i = 0; i < frames; ++i) {
        const double x = input[i];
        const double next = (m.filterState[0] + x) * 0.9994;
        output[i] = static_cast<float>(next - m.filterState[0]);
        m.filterState[0] = next;
    }
}

// Same order as the "Type" values.
inline constexpr Kernel kernels[] = {
    passFilter,
    cascade<bodies::violinI>,
    cascade<bodies::violinII>,
    cascade<bodies::violinIII>,
    cascade<bodies::violaI>,
    cascade<bodies::violaII>,
    cascade<bodies::violI>,
    cascade<bodies::violII>,
    cascade<bodies::celloI>,
    cascade<bodies::celloII>,
    cascade<bodies::bass>,
    cascade<bodies::contrabass>,
    cascade<bodies::oboeI>,
    cascade<bodies::oboeII>,
    cascade<bodies::corAnglaisI>,
    cascade<bodies::corAnglaisII>,
    cascade<bodies::sympathetic>,
};

// Elements of filterState each type uses.
inline constexpr int stateElements[] = {1,  10, 10, 10, 10, 10, 10, 10, 10,
                                        10, 10, 12, 10, 12, 10, 10, 18};

}  // namespace velmora::reference
