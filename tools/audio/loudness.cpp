#include "loudness.h"

#include <ebur128.h>

#include <cmath>

#include "tool_error.h"

namespace velmora::tool {

LoudnessMeter::LoudnessMeter(int channels, int sampleRate)
    : state(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(sampleRate),
                         EBUR128_MODE_I)) {
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

double LoudnessMeter::integrated() const {
    double loudness = -HUGE_VAL;
    if (ebur128_loudness_global(state, &loudness) != EBUR128_SUCCESS) return -HUGE_VAL;
    return loudness;
}

}  // namespace velmora::tool
