// What each body does to a steady sine: its transfer function, worked out
// from the same tables the kernels run, for programs that plot or convolve.
#pragma once

#include <complex>
#include <cstdint>

namespace velmora {

// H(z) of the kernel of `type` at z = e^(i 2 pi f), with f the frequency in
// cycles per sample (a resonance tuned to 1000 Hz at 44000 Hz sits at
// 1000/44000): the complex gain the kernel gives a sine there once it has
// settled. Types map as in kernelForType.
std::complex<double> frequencyResponse(int32_t type, double cyclesPerSample);

}  // namespace velmora
