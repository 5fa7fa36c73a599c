// The signal path of a render: every channel through the body (at the tuned
// rate when resampling), then the dry/wet mix and the gain. Frames go in and
// come out interleaved, in a stream of calls.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bodies.h"
#include "body_channels.h"
#include "resampler.h"

namespace velmora::tool {

struct ChainSettings {
    int sampleRate = 0;
    int channels = 0;
    int blockFrames = 512;
    ToolTuning tuning = ToolTuning::True;
    double mix = 1.0;   // 0 the dry input, 1 the body's output alone
    double gain = 1.0;  // linear, after the mix
};

class BodyChain {
  public:
    BodyChain(const host::ModuleLibrary& library, const Body& body, const ChainSettings& settings);
    ~BodyChain();

    // Appends to `out` the output for these frames; when resampling, the
    // output lags the input by a little, which finish() makes up.
    void push(const float* in, int64_t frames, std::vector<float>& out);
    // The input has ended: appends the rest, so that as many frames have
    // come out as went in.
    void finish(std::vector<float>& out);

  private:
    void filter(const float* in, int64_t frames, std::vector<float>& wet);
    // What waits in `tuned` through the body and back to the input's rate.
    void filterTuned();
    void emit(std::vector<float>& out, bool last);
    // The input is kept to be mixed in, or to be matched in length at the end.
    bool keepsDry() const { return settings.mix != 1.0 || resamples(); }
    bool resamples() const { return settings.tuning == ToolTuning::Resample; }

    ChainSettings settings;
    BodyChannels channels;
    std::optional<Resampler> toTuned, fromTuned;
    std::vector<float> dry, wet;  // waiting to be matched with each other
    // One channel after another, each `frames` long, in and out of the body.
    std::vector<float> planarIn, planarOut;
    std::vector<float> tuned, filtered;
};

}  // namespace velmora::tool
