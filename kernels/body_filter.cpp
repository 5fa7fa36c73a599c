#include "body_filter.h"

#include <algorithm>
#include <array>

#include "default_fp_modes.h"

namespace velmora {

namespace {

// The old body's output waits here to be mixed; a fade runs in pieces of
// this many frames, so nothing is allocated.
constexpr int32_t kChunkFrames = 256;

}  // namespace

void BodyFilter::processChanging(int32_t body, const float* input, float* output, int32_t frames) {
    if (body != playing.body) change(body);
    int32_t done = 0;
    while (fadeRemaining > 0 && done < frames) {
        const int32_t n = std::min({frames - done, fadeRemaining, kChunkFrames});
        fadeChunk(input + done, output + done, n);
        done += n;
    }
    if (done < frames) {
        run(playing.body, playing.state, input + done, output + done, frames - done);
    }
}

void BodyFilter::change(int32_t body) {
    if (played) {
        // A change during a fade starts a new one from the body that has the
        // larger share of what is playing now; the other, whose share is at
        // most a half, is dropped. Two bodies at most ever run, and every
        // sample stays a weighted mean of two bodies' own samples. Outside a
        // fade the body playing has the whole share.
        const bool playingHasHalf = 2 * (kFadeFrames - fadeRemaining) >= kFadeFrames;
        if (playingHasHalf) fading = playing;
        fadeRemaining = kFadeFrames;
    }
    // Nothing played since the history was cleared: nothing to fade from.
    playing.body = body;
    playing.state.clear();
}

void BodyFilter::fadeChunk(const float* input, float* output, int32_t frames) {
    // The old body first: the new one may write over the input.
    std::array<float, kChunkFrames> old;
    run(fading.body, fading.state, input, old.data(), frames);
    run(playing.body, playing.state, input, output, frames);

    const DefaultFpModes modes;
    const int32_t done = kFadeFrames - fadeRemaining;
    for (int32_t i = 0; i < frames; ++i) {
        // The new body's share rises by 1/1024 a frame, from 0; the division
        // by a power of two is exact.
        const double share = static_cast<double>(done + i) / kFadeFrames;
        output[i] =
            static_cast<float>(static_cast<double>(old[static_cast<size_t>(i)]) * (1.0 - share) +
                               static_cast<double>(output[i]) * share);
    }
    fadeRemaining -= frames;
    if (fadeRemaining == 0) fading.state.clear();  // the old history is dropped
}

}  // namespace velmora
