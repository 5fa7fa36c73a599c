// Integrated loudness (EBU R128, in LUFS) of a stream of interleaved frames,
// measured by libebur128.
#pragma once

#include <ebur128.h>

#include <cstdint>

namespace velmora::tool {

class LoudnessMeter {
  public:
    // With `truePeak`, it also measures the true peak (4x oversampled).
    LoudnessMeter(int channels, int sampleRate, bool truePeak = false);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void add(const float* frames, int64_t count);
    // The integrated loudness so far; minus infinity for silence, or for
    // anything too short or quiet for the gate.
    double integrated() const;
    // The largest true peak of any channel so far, 1.0 being full scale.
    double truePeak() const;

  private:
    ebur128_state* state = nullptr;
    unsigned channels = 0;
};

}  // namespace velmora::tool
