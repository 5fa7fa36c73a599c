// Sample-rate conversion of interleaved float frames with libsoxr at its
// very-high-quality setting, in a stream of calls.
#pragma once

#include <cstdint>
#include <vector>

struct soxr;

namespace velmora::tool {

class Resampler {
  public:
    Resampler(double fromRate, double toRate, int channels);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // Appends to `out` what `frames` more input frames give; the output is
    // aligned with the input, the filter's delay taken out by libsoxr.
    void push(const float* in, int64_t frames, std::vector<float>& out);
    // The input has ended: appends what the filter still holds.
    void finish(std::vector<float>& out);

  private:
    void run(const float* in, int64_t frames, std::vector<float>& out);

    soxr* state = nullptr;
    int channels;
    double ratio;
};

}  // namespace velmora::tool
