// The bodies designed for the sample rate they play at.
//
// The module's tables put every resonance at a fixed fraction of the sample
// rate: tuned at 44000 Hz, a body moves with any other rate. A body tuned
// true keeps its 44000 Hz response at the rate it plays at. For each of the
// common rates (8 to 384 kHz, rate_designs.h) every body has a design fitted
// offline (design/README.md): the poles of each resonance at that rate and
// numerators chosen so that the magnitude matches the 44000 Hz body.
// Between those rates the nearest one's design is moved to the exact rate
// (tunedBodyAt). At exactly 44000 Hz a true body is the module's own.
//
// Preparing a rate is done once, before any audio (it evaluates exp and cos,
// and allocates nothing); playing reads what was prepared.
#pragma once

#include <array>
#include <complex>
#include <cstdint>

#include "cascade.h"
#include "kernels.h"

namespace velmora {

enum class Tuning : int32_t {
    True = 0,   // the 44000 Hz response at any rate
    Fixed = 1,  // the module's tables, moving with the rate
};

namespace designs {
// A section: the poles 1 / (1 + b z^-1 + a z^-2), then 1 - k z^-1 + d z^-2.
struct Section {
    double a, b, d, k;
};
struct Body {
    int32_t sections;
    double gain;
    std::array<Section, kMostSections> section;
};
// Bodies 1 to 16 designed for one rate.
struct RateDesigns {
    double rate;
    std::array<Body, kTypeCount - 1> bodies;
};
}  // namespace designs

// The design of body `type` (1 to 16; others are Violin I) for `rate` Hz
// (positive), from the table of the nearest common rate: there exactly;
// elsewhere with every pole and every pair of complex zeros moved to keep
// its frequency and bandwidth in Hz (z becomes z^(nearest/rate)), a
// resonance that would lie above 0.47 of the rate left out, so nothing
// folds, and the gain set to keep the level.
TunedBody tunedBodyAt(int32_t type, double rate);

// Every body prepared for one rate and tuning: what an adapter keeps beside
// its filters, one per rate, shared by all its channels.
class TunedBodies {
  public:
    // The module's tables, as Fixed gives at any rate.
    constexpr TunedBodies() = default;
    TunedBodies(double rate, Tuning tuning);

    // Whether the module's own kernels play (Fixed, or True at 44000 Hz).
    bool modulesOwn() const { return !tuned; }

    // Runs the kernel of `type` (types as in kernelForType) on `state`.
    void process(int32_t type, KernelState& state, const float* input, float* output,
                 int32_t frames) const;
    // The same over many channels at once (channelKernelForType); a lone
    // channel as the call above runs it.
    void process(int32_t type, const ChannelSet& channels, int32_t frames) const;

    // H(z) of what process plays for `type`, at z = e^(i 2 pi f), f in
    // cycles per sample of this rate.
    std::complex<double> response(int32_t type, double cyclesPerSample) const;

  private:
    bool tuned = false;
    std::array<TunedBody, kTypeCount - 1> bodies{};
    std::array<TunedKernel, kTypeCount - 1> kernels{};
    std::array<TunedChannelKernel, kTypeCount - 1> channelKernels{};
};

}  // namespace velmora
