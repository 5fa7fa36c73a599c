// Integrated loudness (EBU R128, in LUFS) of a stream of interleaved frames,
// measured by libebur128.
#pragma once

#include <ebur128.h>

#include <cstdint>

namespace velmora::tool {

class LoudnessMeter {
  public:
    LoudnessMeter(int channels, int sampleRate);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void add(const float* frames, int64_t count);
    // The integrated loudness so far; minus infinity for silence, or for
    // anything too short or quiet for the gate.
    double integrated() const;

  private:
    ebur128_state* state = nullptr;
};

}  // namespace velmora::tool
