#include "body_filter.h"

#include <algorithm>
#include <array>

#include "default_fp_modes.h"

namespace velmora {

namespace {

// The old body's output waits here to be mixed; a fade runs in pieces of
// this many frames, so nothing is allocated.
constexpr int32_t kChunkFrames = 256;

// Whether the filters have met the same bodies at the same frames since they
// were opened, so that one call of a kernel can run them all.
bool inStep(std::span<const BodyFilter> filters) {
    const BodyFilter& first = filters.front();
    return std::all_of(filters.begin(), filters.end(), [&](const BodyFilter& f) {
        return f.playing.body == first.playing.body && f.fading.body == first.fading.body &&
               f.fadeRemaining == first.fadeRemaining && f.played == first.played &&
               f.tuning == first.tuning;
    });
}

// The module's tables, for the filters that have no tuning of their own.
constinit const TunedBodies modulesTables;

// Runs one voice (playing or fading) of every filter of a group in step, on
// the kernel of its body as the filters' tuning has it.
void runVoice(std::span<BodyFilter> group, BodyFilter::Voice BodyFilter::*voice,
              const float* const* inputs, float* const* outputs, int32_t frames) {
    std::array<KernelState*, BodyFilter::kGroupChannels> states{};
    for (std::size_t c = 0; c < group.size(); ++c)
        states[c] = &(group[c].*voice).state;
    const BodyFilter& first = group.front();
    const TunedBodies& bodies = first.tuning != nullptr ? *first.tuning : modulesTables;
    bodies.process((first.*voice).body,
                   {states.data(), inputs, outputs, static_cast<int32_t>(group.size())}, frames);
}

}  // namespace

void BodyFilter::processChannels(std::span<BodyFilter> filters, int32_t type,
                                 const float* const* inputs, float* const* outputs,
                                 int32_t frames) {
    if (frames <= 0) return;
    for (std::size_t from = 0; from < filters.size(); from += kGroupChannels) {
        const std::size_t n = std::min(kGroupChannels, filters.size() - from);
        processGroup(filters.subspan(from, n), type, inputs + from, outputs + from, frames);
    }
}

void BodyFilter::processGroup(std::span<BodyFilter> group, int32_t type, const float* const* inputs,
                              float* const* outputs, int32_t frames) {
    // Channels that have gone apart (restored one by one from different
    // moments) go one at a time.
    if (!inStep(group)) {
        for (std::size_t c = 0; c < group.size(); ++c)
            processGroup(group.subspan(c, 1), type, inputs + c, outputs + c, frames);
        return;
    }
    const int32_t body = bodyOfType(type);
    if (body != group.front().playing.body) {
        for (BodyFilter& filter : group)
            filter.change(body);
    }
    std::array<const float*, kGroupChannels> in{};
    std::array<float*, kGroupChannels> out{};
    auto from = [&](int32_t frame) {
        for (std::size_t c = 0; c < group.size(); ++c) {
            in[c] = inputs[c] + frame;
            out[c] = outputs[c] + frame;
        }
    };
    int32_t done = 0;
    while (group.front().fadeRemaining > 0 && done < frames) {
        const int32_t n = std::min({frames - done, group.front().fadeRemaining, kChunkFrames});
        from(done);
        fadeChunk(group, in.data(), out.data(), n);
        done += n;
    }
    // A steady body pays for nothing more than the tests above.
    if (done < frames) {
        from(done);
        runVoice(group, &BodyFilter::playing, in.data(), out.data(), frames - done);
    }
    for (BodyFilter& filter : group)
        filter.played = true;
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

void BodyFilter::fadeChunk(std::span<BodyFilter> group, const float* const* inputs,
                           float* const* outputs, int32_t frames) {
    // The old body first: the new one may write over the input.
    std::array<std::array<float, kChunkFrames>, kGroupChannels> old;
    std::array<float*, kGroupChannels> oldOut{};
    for (std::size_t c = 0; c < group.size(); ++c)
        oldOut[c] = old[c].data();
    runVoice(group, &BodyFilter::fading, inputs, oldOut.data(), frames);
    runVoice(group, &BodyFilter::playing, inputs, outputs, frames);

    const DefaultFpModes modes;
    const int32_t done = kFadeFrames - group.front().fadeRemaining;
    for (std::size_t c = 0; c < group.size(); ++c) {
        float* output = outputs[c];
        for (int32_t i = 0; i < frames; ++i) {
            // The new body's share rises by 1/1024 a frame, from 0; the
            // division by a power of two is exact.
            const double share = static_cast<double>(done + i) / kFadeFrames;
            output[i] = static_cast<float>(
                static_cast<double>(old[c][static_cast<std::size_t>(i)]) * (1.0 - share) +
                static_cast<double>(output[i]) * share);
        }
    }
    for (BodyFilter& filter : group) {
        filter.fadeRemaining -= frames;
        if (filter.fadeRemaining == 0) filter.fading.state.clear();  // the old history is dropped
    }
}

}  // namespace velmora
