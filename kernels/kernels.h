// The seventeen filter kernels, one per value of "Type", and the state they
// work on. Nothing here knows about hosts, pins or the module: the module's
// process functions, and any other adapter, hand a kernel its state and two
// sample buffers.
#pragma once

#include <cstdint>

namespace velmora {

// What a kernel carries from one call to the next. Every kernel reads and
// writes its own elements of the same record; BodyFilter gives a new body a
// record of its own, cleared, rather than the history of the one before it.
struct KernelState {
    // Per stage k of a cascade, y_k[n-2] at 2k and y_k[n-1] at 2k+1; the pass
    // filter keeps its accumulator at 0. The longest body uses 18 elements.
    double filterState[20] = {};

    void clear();  // clears the history
};

// Runs `frames` samples of `input` into `output` (which may be the same
// buffer), carrying the history in `state`. A count of 0 or less does nothing.
// A kernel computes in the processor's default floating-point modes whatever
// the caller has set, and gives the caller's back; a history that is no
// longer finite at the end of a call (a NaN or an infinity came in) is
// cleared, so that only that call's outputs show it.
using Kernel = void (*)(KernelState& state, const float* input, float* output, int32_t frames);

// Several channels of one signal, all on one body: channel c runs from
// inputs[c] into outputs[c] on *states[c]. outputs[c] may be inputs[c]; the
// buffers of different channels do not overlap.
struct ChannelSet {
    KernelState* const* states;  // channel c's history, carried from call to call
    const float* const* inputs;  // channel c's input samples
    float* const* outputs;       // where channel c's output goes
    int32_t count;               // channels; 0 or less does nothing
};

// Runs `frames` samples of every channel of `channels`, the channels side by
// side in SIMD lanes where there are enough of them: each channel's output
// and history are, bit for bit, what the Kernel of the same body gives that
// channel alone, under the same rules.
using ChannelKernel = void (*)(const ChannelSet& channels, int32_t frames);

inline constexpr int kTypeCount = 17;

// A body designed for a sample rate (tuned_design.h prepares them), and its
// kernel: the same rules as a Kernel, with the body's numbers handed in.
struct TunedBody;
inline constexpr int kFewestSections =
    5;  // sections of a designed body: as many as the body's stages
inline constexpr int kMostSections = 10;  // and up to what filterState holds
using TunedKernel = void (*)(const TunedBody& body, KernelState& state, const float* input,
                             float* output, int32_t frames);
using TunedChannelKernel = void (*)(const TunedBody& body, const ChannelSet& channels,
                                    int32_t frames);

// Type 0: a one-pole, one-zero DC blocker, 0.9994 (1 - z^-1) / (1 - 0.9994 z^-1).
void runPassFilter(KernelState& state, const float* input, float* output, int32_t frames);

// The body a "Type" value plays: 0 the pass filter, 1 to 16 the bodies'
// resonator cascades; every other value plays Violin I.
constexpr int32_t bodyOfType(int32_t type) {
    return type >= 0 && type < kTypeCount ? type : 1;
}

// The kernel of a "Type" value, that of bodyOfType(type).
Kernel kernelForType(int32_t type);
// The same body over many channels at once.
ChannelKernel channelKernelForType(int32_t type);

}  // namespace velmora
