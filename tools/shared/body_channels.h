// Every channel of a signal through a body as the tool plays it at a sample
// rate. The module has no rate: with the fixed tuning (and at 44000 Hz) each
// channel is an instance of the loaded module itself, so that the tool plays
// exactly what that library plays; tuned true, the channels are the kernel
// layer's design of the body for the rate, the filter the Python package and
// the LV2 plugin play, all channels filtered together in the kernels' lanes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "body_filter.h"
#include "driver.h"
#include "module_library.h"
#include "tuned_design.h"

namespace velmora::tool {

// How a command tunes the bodies: true at the file's rate, fixed (the
// module's tables, moving with the rate), or the module at 44000 Hz between
// two resamplings (render only).
enum class ToolTuning { True, Fixed, Resample };

// The --tuning option's words, and a ToolTuning from one of them.
ToolTuning tuningFromWord(const std::string& word);

class BodyChannels {
  public:
    // Throws with the host's message when the module cannot be started.
    BodyChannels(const host::ModuleLibrary& library, const host::RenderSettings& settings,
                 Tuning tuning, int channelCount);

    // Channel c from inputs[c] into outputs[c], which are other buffers.
    // Consecutive calls continue one signal.
    void process(const float* const* inputs, float* const* outputs, int32_t frames);

  private:
    std::vector<std::unique_ptr<host::Channel>> modules;  // empty when the design plays
    std::unique_ptr<const TunedBodies> bodies;
    std::vector<BodyFilter> filters;
    int32_t type;
};

// The first `frames` samples of the body's response to a unit impulse.
std::vector<float> impulseResponse(const host::ModuleLibrary& library,
                                   const host::RenderSettings& settings, Tuning tuning,
                                   int32_t frames);

}  // namespace velmora::tool
