// The bodies as an LV2 plugin: one BodyFilter per channel, all channels
// filtered in one call with the kernel the Body control names (true at the
// session's rate, or fixed, as Tuning says), then a smoothed trim and
// dry/wet mix. The filtering and the rule for a change of body are the
// kernel layer's; this file only adapts LV2's calls to them.
#include <lv2/core/lv2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <span>

#include "body_filter.h"
#include "default_fp_modes.h"
#include "description.h"

namespace velmora::lv2 {

namespace {

// A control value that moves to a new target in equal steps over a fixed
// number of frames and lands on the target exactly.
class Ramp {
  public:
    void jump(double target) {
        value = target;
        goal = target;
        remaining = 0;
    }

    void moveTo(double target, int32_t frames) {
        if (target == goal) return;
        goal = target;
        step = (goal - value) / frames;
        remaining = frames;
    }

    double next() {
        if (remaining > 0) value = --remaining == 0 ? goal : value + step;
        return value;
    }

    bool settledAt(double target) const { return remaining == 0 && value == target; }

  private:
    double value = 1.0;
    double goal = 1.0;
    double step = 0.0;
    int32_t remaining = 0;
};

// A control port's value inside its range; a missing port or a value that is
// not a number reads as the default.
double readControl(const float* port, const ControlRange& range) {
    if (port == nullptr || std::isnan(*port)) return range.fallback;
    return std::clamp(*port, range.minimum, range.maximum);
}

// The Body port as a "Type" value. Values outside 0 to 16 are passed on as
// they are, so they play Violin I exactly as they would in the module's
// 16-bit pin.
int32_t readBody(const float* port) {
    if (port == nullptr || std::isnan(*port)) return kDefaultBody;
    const float value = std::clamp(*port, -32768.0f, 32767.0f);
    return static_cast<int32_t>(std::lround(value));
}

// The Tuning port as the kernel layer's Tuning: anything but 1 is true.
Tuning readTuning(const float* port) {
    return readControl(port, kTuningRange) >= 0.5f ? Tuning::Fixed : Tuning::True;
}

class Bodies {
  public:
    // The bodies are designed for the session's rate here, never in run().
    Bodies(int channelCount, double sampleRate)
        : channels(channelCount), trueBodies(sampleRate, Tuning::True) {
        // Rates that make no sense still give a ramp of at least one frame.
        const double frames = sampleRate * kSmoothingSeconds;
        rampFrames = frames >= 1.0 ? static_cast<int32_t>(std::min(frames, 1048576.0)) : 1;
    }

    void connect(uint32_t port, void* data) {
        switch (port) {
            case kBodyPort:
                body = static_cast<const float*>(data);
                return;
            case kTrimPort:
                trim = static_cast<const float*>(data);
                return;
            case kMixPort:
                mix = static_cast<const float*>(data);
                return;
            default:
                break;
        }
        if (port == tuningPort(channels)) tuning = static_cast<const float*>(data);
        for (int c = 0; c < channels; ++c) {
            if (port == audioInputPort(c)) inputs[c] = static_cast<const float*>(data);
            if (port == audioOutputPort(channels, c)) outputs[c] = static_cast<float*>(data);
        }
    }

    // The next run starts from a clear history on the body it finds.
    void activate() { fresh = true; }

    void run(uint32_t frames) {
        for (int c = 0; c < channels; ++c) {
            if (inputs[c] == nullptr || outputs[c] == nullptr) return;
        }
        // The controls' arithmetic and the blend give the same bits whatever
        // modes the host runs in, as the kernels do.
        const DefaultFpModes modes;
        const int32_t type = readBody(body);
        // A change of tuning starts the filters afresh: one design's history
        // read by another's coefficients could burst.
        const TunedBodies* bodies = readTuning(tuning) == Tuning::True ? &trueBodies : nullptr;
        const bool retuned = bodies != filters[0].tuning;
        for (int c = 0; c < channels; ++c)
            filters[c].tuning = bodies;
        if (fresh || retuned) {
            // Playing from the start on one body is not a change of body.
            for (int c = 0; c < channels; ++c)
                filters[c].open(type);
        }
        followControls();
        fresh = false;

        // The channels are filtered together, side by side in the kernels'
        // lanes, in the host's own block (longer ones in pieces), so that a
        // non-finite input sample spoils what it spoils in the module. A host
        // may give any output the buffer of any input, so every input is read
        // before any output is written.
        for (uint32_t done = 0, n = 0; done < frames; done += n) {
            n = std::min(frames - done, kPieceFrames);
            std::array<const float*, kMaxChannels> in{};
            std::array<float*, kMaxChannels> out{};
            for (int c = 0; c < channels; ++c) {
                std::copy_n(inputs[c] + done, n, dry[c].begin());
                in[c] = dry[c].data();
                out[c] = outputs[c] + done;
            }
            BodyFilter::processChannels(
                std::span(filters.data(), static_cast<std::size_t>(channels)), type, in.data(),
                out.data(), static_cast<int32_t>(n));
            blend(done, n);
        }
    }

  private:
    static constexpr uint32_t kPieceFrames = 8192;

    // Trim and Mix move towards the ports' values; on the first run after
    // activation they start there.
    void followControls() {
        const double trimDb = readControl(trim, kTrimRange);
        if (trimDb != lastTrimDb || fresh) {
            lastTrimDb = trimDb;
            trimGain = std::pow(10.0, trimDb / 20.0);
        }
        const double wetShare = readControl(mix, kMixRange);
        if (fresh) {
            gain.jump(trimGain);
            wet.jump(wetShare);
        } else {
            gain.moveTo(trimGain, rampFrames);
            wet.moveTo(wetShare, rampFrames);
        }
    }

    // Trim and Mix over the filtered frames from `at`. Settled at unity
    // they are out of the way; where the share of the filtered signal is 0
    // the output is the dry input itself, a NaN in the filter's history
    // notwithstanding.
    void blend(uint32_t at, uint32_t frames) {
        if (gain.settledAt(1.0) && wet.settledAt(1.0)) return;
        for (uint32_t i = 0; i < frames; ++i) {
            const double w = wet.next();
            const double wetGain = gain.next() * w;
            const double dryGain = 1.0 - w;
            for (int c = 0; c < channels; ++c) {
                float& out = outputs[c][at + i];
                const float in = dry[c][i];
                out = w == 0.0 ? in
                               : static_cast<float>(static_cast<double>(out) * wetGain +
                                                    static_cast<double>(in) * dryGain);
            }
        }
    }

    const int channels;
    int32_t rampFrames = 1;
    const float* body = nullptr;
    const float* trim = nullptr;
    const float* mix = nullptr;
    const float* tuning = nullptr;
    std::array<const float*, kMaxChannels> inputs{};
    std::array<float*, kMaxChannels> outputs{};

    const TunedBodies trueBodies;  // the bodies at the session's rate
    std::array<BodyFilter, kMaxChannels> filters;
    bool fresh = true;  // no run since activation

    double lastTrimDb = 0.0;
    double trimGain = 1.0;
    Ramp gain;  // linear gain on the filtered signal
    Ramp wet;   // share of the filtered signal in the output
    std::array<std::array<float, kPieceFrames>, kMaxChannels> dry{};  // the inputs, read first
};

// LV2's entry points: each finds the instance and hands the call on.
Bodies& from(LV2_Handle instance) {
    return *static_cast<Bodies*>(instance);
}

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double sampleRate, const char*,
                       const LV2_Feature* const*) noexcept {
    for (const PluginKind& kind : kPlugins) {
        if (descriptor != nullptr && descriptor->URI == kind.uri)
            return new (std::nothrow) Bodies(kind.channels, sampleRate);
    }
    return nullptr;
}

void connectPort(LV2_Handle instance, uint32_t port, void* data) noexcept {
    from(instance).connect(port, data);
}

void activate(LV2_Handle instance) noexcept {
    from(instance).activate();
}

void run(LV2_Handle instance, uint32_t frames) noexcept {
    from(instance).run(frames);
}

void cleanup(LV2_Handle instance) noexcept {
    delete &from(instance);
}

const void* extensionData(const char*) noexcept {
    return nullptr;
}

constexpr LV2_Descriptor describe(const PluginKind& kind) {
    // The URIs are literals, so their views end in a terminating zero.
    return {kind.uri.data(), instantiate, connectPort,  activate, run,
            nullptr,         cleanup,     extensionData};
}

constexpr std::array<LV2_Descriptor, kPlugins.size()> kDescriptors{describe(kPlugins[0]),
                                                                   describe(kPlugins[1])};

}  // namespace

}  // namespace velmora::lv2

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    using velmora::lv2::kDescriptors;
    return index < kDescriptors.size() ? &kDescriptors[index] : nullptr;
}
