// Test signals the checks feed the module.
#pragma once

#include <cstdint>

#include "random.h"

namespace velmora::validate {

enum class Signal {
    Noise,      // uniform in [-1, 1)
    Impulses,   // sparse full-scale clicks of either sign
    Square,     // a full-scale square wave at 441 Hz
    Subnormal,  // noise too small for a normal float
    Tiny,       // noise about the module's silence threshold
    Zeros,
};

const char* signalName(Signal signal);

// `frames` samples of `signal` into `out`; `start` is the frame's place in a
// longer signal, so that blocks of a square wave join up.
void fillSignal(Signal signal, Random& random, float* out, int32_t frames, int32_t rate,
                int64_t start = 0);

}  // namespace velmora::validate
