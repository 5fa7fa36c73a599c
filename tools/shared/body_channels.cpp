#include "body_channel.h"

#include "tool_error.h"

namespace velmora::tool {

ToolTuning tuningFromWord(const std::string& word) {
    // Empty: --tuning not given.
    if (word == "fixed") return ToolTuning::Fixed;
    if (word == "resample") return ToolTuning::Resample;
    return ToolTuning::True;
}

BodyChannel::BodyChannel(const host::ModuleLibrary& library, const host::RenderSettings& settings,
                         Tuning tuning)
    : bodies(std::make_unique<TunedBodies>(settings.sampleRate, tuning)), type(settings.type) {
    if (bodies->modulesOwn()) {
        std::string error;
        module = host::Channel::start(library, settings, error);
        if (module == nullptr) throw Error(error);
        return;
    }
    filter.open(type);
    filter.tuning = bodies.get();
}

void BodyChannel::process(const float* input, float* output, int32_t frames) {
    if (module != nullptr) {
        module->process(input, output, frames);
    } else {
        filter.process(type, input, output, frames);
    }
}

std::vector<float> impulseResponse(const host::ModuleLibrary& library,
                                   const host::RenderSettings& settings, Tuning tuning,
                                   int32_t frames) {
    std::vector<float> input(static_cast<size_t>(frames), 0.0f), output(input.size());
    if (frames > 0) input[0] = 1.0f;
    BodyChannel channel(library, settings, tuning);
    channel.process(input.data(), output.data(), frames);
    return output;
}

}  // namespace velmora::tool
