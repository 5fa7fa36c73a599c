// The floor every benchmark measures against.
#pragma once

#include <cstdint>

// The floor: one two-pole recurrence, y = (x - A*y2) - B*y1, its two values
// in locals for the block as the kernels keep theirs. A function of its own,
// so that the 32-bit build too keeps them in registers rather than on the
// stack of a larger function.
[[gnu::noinline]] inline void oneResonator(const float* in, float* out, int32_t frames,
                                           double* state) {
    const double a = 0.9878648605107601, b = -1.982533331862628;
    double y2 = state[0], y1 = state[1];
    for (int32_t i = 0; i < frames; ++i) {
        const double y = (static_cast<double>(in[i]) - a * y2) - b * y1;
        y2 = y1;
        y1 = y;
        out[i] = static_cast<float>(y);
    }
    state[0] = y2;
    state[1] = y1;
}
