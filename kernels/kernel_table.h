// The kernels by "Type", for every way of running the bodies: the scalar
// kernels and each instruction set's lane kernels.
#pragma once

#include <array>
#include <utility>

#include "cascade.h"
#include "coefficients.h"
#include "kernel_paths.h"
#include "kernels.h"

namespace velmora {

// The stages one after the other in scalar registers.
struct ScalarEngine {
    template <class Shape>
    static void run(const Shape& shape, double* state, const float* input, float* output,
                    int32_t frames) {
        runScalar(shape, state, input, output, frames);
    }
    template <class Shape>
    static void runChannels(const Shape& shape, const ChannelSet& channels, int32_t frames) {
        eachChannelScalar(shape, channels, frames);
    }
};

// Engine::run on a body of the module's tables, and on a designed one.
template <class Engine, const auto& body>
void fixedEngine(double* state, const float* input, float* output, int32_t frames) {
    Engine::run(FixedShape<body>{}, state, input, output, frames);
}
template <class Engine, std::size_t n, class Mix>
void tunedEngine(const TunedBody& body, double* state, const float* input, float* output,
                 int32_t frames) {
    Engine::run(TunedShape<n, Mix>{body}, state, input, output, frames);
}

// The same over many channels, Engine::runChannels.
template <class Engine, const auto& body>
void fixedChannels(const ChannelSet& channels, int32_t frames) {
    Engine::runChannels(FixedShape<body>{}, channels, frames);
}
template <class Engine, std::size_t n, class Mix>
void tunedChannels(const TunedBody& body, const ChannelSet& channels, int32_t frames) {
    Engine::runChannels(TunedShape<n, Mix>{body}, channels, frames);
}

// The pass filter is one recurrence: its channels run one after another.
inline void passFilterChannels(const ChannelSet& channels, int32_t frames) {
    for (int32_t c = 0; c < channels.count; ++c)
        runPassFilter(*channels.states[c], channels.inputs[c], channels.outputs[c], frames);
}

// The seventeen kernels, each body's frames run by Engine. The pass filter
// is one recurrence, scalar in every table.
template <class Engine>
constexpr KernelTable kernelsWith() {
    return []<const auto&... body>(bodies::BodySequence<body...>) {
        return KernelTable{runPassFilter, runCascade<body, fixedEngine<Engine, body>>...};
    }
    (bodies::CascadesByType{});
}

// The kernels of designed bodies, in tunedKernelIndex's order.
template <class Engine>
constexpr TunedKernelTable tunedKernelsWith() {
    return []<std::size_t... i>(std::index_sequence<i...>) {
        return TunedKernelTable{
            runTunedCascade<tunedEngine<Engine, i + kFewestSections, FilteredOnly>>...,
            runTunedCascade<tunedEngine<Engine, i + kFewestSections, HalfWetWithDry>>...};
    }
    (std::make_index_sequence<kSectionCounts>{});
}

// The channel kernels, in the orders of kernelsWith and tunedKernelsWith.
template <class Engine>
constexpr ChannelKernelTable channelKernelsWith() {
    return []<const auto&... body>(bodies::BodySequence<body...>) {
        return ChannelKernelTable{passFilterChannels, runChannels<fixedChannels<Engine, body>>...};
    }
    (bodies::CascadesByType{});
}
template <class Engine>
constexpr TunedChannelKernelTable tunedChannelKernelsWith() {
    return []<std::size_t... i>(std::index_sequence<i...>) {
        return TunedChannelKernelTable{
            runTunedChannels<tunedChannels<Engine, i + kFewestSections, FilteredOnly>>...,
            runTunedChannels<tunedChannels<Engine, i + kFewestSections, HalfWetWithDry>>...};
    }
    (std::make_index_sequence<kSectionCounts>{});
}

}  // namespace velmora
