// The kernels by "Type", for every way of running the bodies: the scalar
// kernels and each instruction set's lane kernels.
#pragma once

#include <array>

#include "cascade.h"
#include "coefficients.h"
#include "kernel_paths.h"
#include "kernels.h"

namespace velmora {

// The seventeen kernels, each body's frames run by Engine<body>::run. The
// pass filter is one recurrence, scalar in every table.
template <template <const auto&> class Engine>
constexpr KernelTable kernelsWith() {
    return []<const auto&... body>(bodies::BodySequence<body...>) {
        return KernelTable{runPassFilter, runCascade<body, Engine<body>::run>...};
    }
    (bodies::CascadesByType{});
}

// The stages one after the other in scalar registers.
template <const auto& body>
struct ScalarEngine {
    static constexpr CascadeEngine run = scalarCascade<body>;
};

}  // namespace velmora
