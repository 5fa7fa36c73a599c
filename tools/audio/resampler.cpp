#include "resampler.h"

#include <soxr.h>

#include <cmath>

#include "tool_error.h"

namespace velmora::tool {

Resampler::Resampler(double fromRate, double toRate, int channelCount)
    : channels(channelCount), ratio(toRate / fromRate) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    // One thread: the same output on every machine, and the cores stay free
    // for a batch's other files.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    state = soxr_create(fromRate, toRate, static_cast<unsigned>(channels), &error, &io, &quality,
                        &runtime);
    if (error != nullptr) throw Error(std::string("cannot resample: ") + error);
}

Resampler::~Resampler() {
    soxr_delete(state);
}

void Resampler::run(const float* in, int64_t frames, std::vector<float>& out) {
    // Room for what this input gives, and some for what the filter held back.
    const size_t room = static_cast<size_t>(std::ceil(static_cast<double>(frames) * ratio)) + 1024;
    size_t taken = 0;
    for (;;) {
        const size_t start = out.size();
        out.resize(start + room * static_cast<size_t>(channels));
        size_t used = 0;
        size_t made = 0;
        const float* from = in == nullptr ? nullptr : in + taken * static_cast<size_t>(channels);
        const soxr_error_t error =
            soxr_process(state, from, in == nullptr ? 0 : static_cast<size_t>(frames) - taken,
                         &used, out.data() + start, room, &made);
        if (error != nullptr) throw Error(std::string("cannot resample: ") + error);
        out.resize(start + made * static_cast<size_t>(channels));
        taken += used;
        const bool inputLeft = in != nullptr && taken < static_cast<size_t>(frames);
        if (!inputLeft && made < room) return;
    }
}

void Resampler::push(const float* in, int64_t frames, std::vector<float>& out) {
    if (frames > 0) run(in, frames, out);
}

void Resampler::finish(std::vector<float>& out) {
    run(nullptr, 0, out);
}

}  // namespace velmora::tool
