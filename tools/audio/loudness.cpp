#include "loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>

#include "tool_error.h"

namespace velmora::tool {

LoudnessMeter::LoudnessMeter(int channelCount, int sampleRate, bool truePeak)
    : state(ebur128_init(static_cast<unsigned>(channelCount),
                         static_cast<unsigned long>(sampleRate),
                         EBUR128_MODE_I | (truePeak ? EBUR128_MODE_TRUE_PEAK : 0))),
      channels(static_cast<unsigned>(channelCount)) {
    if (state == nullptr) throw Error("cannot measure loudness at this rate or channel count");
}

LoudnessMeter::~LoudnessMeter() {
    ebur128_destroy(&state);
}

void LoudnessMeter::add(const float* frames, int64_t count) {
    if (count > 0 && ebur128_add_frames_float(state, frames, static_cast<size_t>(count)) != 0) {
        throw Error("cannot measure loudness");
    }
}

double LoudnessMeter::truePeak() const {
    double largest = 0.0;
    for (unsigned c = 0; c < channels; ++c) {
        double peak = 0.0;
        if (ebur128_true_peak(state, c, &peak) == EBUR128_SUCCESS)
            largest = std::max(largest, peak);
    }
    return largest;
}

double LoudnessMeter::integrated() const {
    double loudness = -HUGE_VAL;
    if (ebur128_loudness_global(state, &loudness) != EBUR128_SUCCESS) return -HUGE_VAL;
    return loudness;
}

}  // namespace velmora::tool
