#include "signals.h"

namespace velmora::validate {

const char* signalName(Signal signal) {
    switch (signal) {
        case Signal::Noise:
            return "noise";
        case Signal::Impulses:
            return "impulses";
        case Signal::Square:
            return "square";
        case Signal::Subnormal:
            return "subnormal noise";
        case Signal::Tiny:
            return "noise at the silence threshold";
        case Signal::Zeros:
            return "zeros";
    }
    return "?";
}

void fillSignal(Signal signal, Random& random, float* out, int32_t frames, int32_t rate,
                int64_t start) {
    for (int32_t i = 0; i < frames; ++i) {
        float value = 0.0f;
        switch (signal) {
            case Signal::Noise:
                value = random.uniform();
                break;
            case Signal::Impulses:
                if (random.below(300) == 0) value = random.chance(50) ? 1.0f : -1.0f;
                break;
            case Signal::Square: {
                // Half periods counted in whole frames, so the wave is exact at any rate.
                const int64_t halfPeriods = (start + i) * 882 / (rate > 0 ? rate : 44100);
                value = (halfPeriods & 1) == 0 ? 1.0f : -1.0f;
                break;
            }
            case Signal::Subnormal:
                value = random.uniform() * 0x1p-127f;
                break;
            case Signal::Tiny:
                value = random.uniform() * 1e-33f;
                break;
            case Signal::Zeros:
                break;
        }
        out[i] = value;
    }
}

}  // namespace velmora::validate
