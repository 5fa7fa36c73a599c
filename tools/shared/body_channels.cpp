#include "body_channels.h"

#include "tool_error.h"

namespace velmora::tool {

ToolTuning tuningFromWord(const std::string& word) {
    // Empty: --tuning not given.
    if (word == "fixed") return ToolTuning::Fixed;
    if (word == "resample") return ToolTuning::Resample;
    return ToolTuning::True;
}

BodyChannels::BodyChannels(const host::ModuleLibrary& library, const host::RenderSettings& settings,
                           Tuning tuning, int channelCount)
    : bodies(std::make_unique<TunedBodies>(settings.sampleRate, tuning)), type(settings.type) {
    if (bodies->modulesOwn()) {
        for (int c = 0; c < channelCount; ++c) {
            std::string error;
            modules.push_back(host::Channel::start(library, settings, error));
            if (modules.back() == nullptr) throw Error(error);
        }
        return;
    }
    filters.resize(static_cast<size_t>(channelCount));
    for (BodyFilter& filter : filters) {
        filter.open(type);
        filter.tuning = bodies.get();
    }
}

void BodyChannels::process(const float* const* inputs, float* const* outputs, int32_t frames) {
    for (size_t c = 0; c < modules.size(); ++c)
        modules[c]->process(inputs[c], outputs[c], frames);
    if (!filters.empty()) BodyFilter::processChannels(filters, type, inputs, outputs, frames);
}

std::vector<float> impulseResponse(const host::ModuleLibrary& library,
                                   const host::RenderSettings& settings, Tuning tuning,
                                   int32_t frames) {
    std::vector<float> input(static_cast<size_t>(frames), 0.0f), output(input.size());
    if (frames > 0) input[0] = 1.0f;
    BodyChannels channel(library, settings, tuning, 1);
    const float* in = input.data();
    float* out = output.data();
    channel.process(&in, &out, frames);
    return output;
}

}  // namespace velmora::tool
