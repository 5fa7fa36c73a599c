// One channel of body filtering, with the rule every adapter follows when the
// body changes. The module, the plugin and the Python package all filter
// through this, so the rule exists once.
//
// A change of body is a short crossfade. The old body keeps running on its
// own history while the new one starts from a clear history, and the output
// moves from the old to the new linearly in gain over kFadeFrames frames;
// after that the old history is dropped, and the output is, bit for bit, the
// new body's as if it had started from a clear state at the change. The new
// body never runs on the old one's history: the bodies' internal levels
// differ by up to fourteen orders of magnitude, and one body's history read
// by another's coefficients is a burst far beyond either body's own output.
//
// Every output sample of a fade is a weighted mean of the two bodies' own
// samples, with weights that sum to one, so it lies between them: however
// fast the changes come, the output never exceeds the bodies' own levels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels.h"
#include "tuned_design.h"

namespace velmora {

class BodyFilter {
  public:
    // Frames over which the output moves from the old body to the new one.
    static constexpr int32_t kFadeFrames = 1024;
    // Channels handed to a kernel, or faded, at a time: what the stack holds
    // for them stays small.
    static constexpr std::size_t kGroupChannels = 16;

    // Starts afresh on `type`, from a clear history, with no fade.
    void open(int32_t type) {
        playing.body = bodyOfType(type);
        clear();
    }

    // Clears the history and ends any fade, as open does; the body stays.
    void clear() {
        playing.state.clear();
        fading.state.clear();
        fadeRemaining = 0;
        played = false;
    }

    // Filters `frames` samples of `input` into `output` (which may be the
    // same buffer) with the body of `type`. A body other than the one playing
    // starts a fade to it; right after open or clear there is nothing to fade
    // from, and the new body simply plays. A type that plays the same body
    // (17 plays Violin I, as 1 does) is no change. A count of 0 or less does
    // nothing, a change of body included.
    void process(int32_t type, const float* input, float* output, int32_t frames) {
        processChannels(std::span(this, 1), type, &input, &output, frames);
    }

    // The same for every channel of a signal at once, channel c from
    // inputs[c] into outputs[c] through filters[c]: each channel's output is,
    // bit for bit, what its own process call would give. Channels that have
    // met the same bodies since they were opened run together in SIMD lanes.
    // outputs[c] may be inputs[c]; different channels' buffers do not overlap.
    static void processChannels(std::span<BodyFilter> filters, int32_t type,
                                const float* const* inputs, float* const* outputs, int32_t frames);

    // What the filter carries, public for the adapters that save and restore it.
    struct Voice {
        KernelState state;
        int32_t body = 1;
    };
    Voice playing;  // the body chosen last, from a clear history at its change
    Voice fading;   // during a fade, the body before it, on its own history
    // Frames of the fade still to come; 0 when none runs.
    int32_t fadeRemaining = 0;
    // Whether frames have run since open or clear: only then is there
    // anything to fade from.
    bool played = false;
    // The bodies as designed for the rate played, kept by the adapter; null
    // plays the module's tables.
    const TunedBodies* tuning = nullptr;

  private:
    static void processGroup(std::span<BodyFilter> group, int32_t type, const float* const* inputs,
                             float* const* outputs, int32_t frames);
    static void fadeChunk(std::span<BodyFilter> group, const float* const* inputs,
                          float* const* outputs, int32_t frames);
    void change(int32_t body);
};

}  // namespace velmora
