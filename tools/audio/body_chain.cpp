#include "body_chain.h"

#include <algorithm>

#include "loaded_module.h"
#include "tool_error.h"

namespace velmora::tool {

namespace {

host::RenderSettings moduleSettings(const Body& body, const ChainSettings& settings) {
    host::RenderSettings render;
    const bool resamples = settings.tuning == ToolTuning::Resample;
    render.sampleRate = static_cast<float>(resamples ? kTunedRate : settings.sampleRate);
    render.blockFrames = settings.blockFrames;
    render.type = static_cast<int16_t>(body.number);
    return render;
}

}  // namespace

BodyChain::BodyChain(const host::ModuleLibrary& library, const Body& body,
                     const ChainSettings& chosen)
    : settings(chosen),
      channels(library, moduleSettings(body, chosen),
               chosen.tuning == ToolTuning::True ? Tuning::True : Tuning::Fixed, chosen.channels) {
    if (resamples()) {
        toTuned.emplace(settings.sampleRate, kTunedRate, settings.channels);
        fromTuned.emplace(kTunedRate, settings.sampleRate, settings.channels);
    }
}

BodyChain::~BodyChain() = default;

void BodyChain::filter(const float* in, int64_t frames, std::vector<float>& out) {
    const int count = settings.channels;
    const size_t start = out.size();
    out.resize(start + static_cast<size_t>(frames * count));
    planarIn.resize(static_cast<size_t>(frames * count));
    planarOut.resize(planarIn.size());
    std::vector<const float*> inputs(static_cast<size_t>(count));
    std::vector<float*> outputs(inputs.size());
    for (int c = 0; c < count; ++c) {
        inputs[c] = planarIn.data() + c * frames;
        outputs[c] = planarOut.data() + c * frames;
        for (int64_t i = 0; i < frames; ++i)
            planarIn[c * frames + i] = in[i * count + c];
    }
    channels.process(inputs.data(), outputs.data(), static_cast<int32_t>(frames));
    for (int c = 0; c < count; ++c) {
        for (int64_t i = 0; i < frames; ++i)
            out[start + i * count + c] = outputs[c][i];
    }
}

void BodyChain::filterTuned() {
    filtered.clear();
    filter(tuned.data(), static_cast<int64_t>(tuned.size()) / settings.channels, filtered);
    fromTuned->push(filtered.data(), static_cast<int64_t>(filtered.size()) / settings.channels,
                    wet);
}

void BodyChain::push(const float* in, int64_t frames, std::vector<float>& out) {
    if (frames <= 0) return;
    if (keepsDry()) dry.insert(dry.end(), in, in + frames * settings.channels);
    if (!resamples()) {
        filter(in, frames, wet);
    } else {
        tuned.clear();
        toTuned->push(in, frames, tuned);
        filterTuned();
    }
    emit(out, false);
}

void BodyChain::finish(std::vector<float>& out) {
    if (resamples()) {
        tuned.clear();
        toTuned->finish(tuned);
        filterTuned();
        fromTuned->finish(wet);
    }
    emit(out, true);
}

void BodyChain::emit(std::vector<float>& out, bool last) {
    // Without a dry copy every wet frame is ready; with one, as many as
    // both have, and at the end exactly as many as went in.
    size_t count = keepsDry() ? std::min(dry.size(), wet.size()) : wet.size();
    if (last && keepsDry()) {
        wet.resize(dry.size(), 0.0f);
        count = dry.size();
    }
    const size_t start = out.size();
    out.insert(out.end(), wet.begin(), wet.begin() + static_cast<std::ptrdiff_t>(count));
    if (settings.mix != 1.0 || settings.gain != 1.0) {
        for (size_t i = 0; i < count; ++i) {
            double value = out[start + i];
            if (settings.mix != 1.0) value = settings.mix * value + (1.0 - settings.mix) * dry[i];
            out[start + i] = static_cast<float>(value * settings.gain);
        }
    }
    wet.erase(wet.begin(), wet.begin() + static_cast<std::ptrdiff_t>(count));
    if (keepsDry()) dry.erase(dry.begin(), dry.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace velmora::tool
