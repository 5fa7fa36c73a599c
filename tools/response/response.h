// A body's magnitude response as it plays at a rate and tuning (through the
// module itself, or the body's design for the rate): its impulse response
// and the discrete Fourier transform of that.
#pragma once

#include <vector>

#include "bodies.h"
#include "module_library.h"
#include "tuned_design.h"

namespace velmora::tool {

struct Peak {
    double gain = 0.0;       // linear magnitude
    double frequency = 0.0;  // Hz
};

struct Response {
    Body body;
    double sampleRate = 0.0;
    double binHz = 0.0;             // spacing of `magnitude`
    std::vector<double> magnitude;  // from 0 Hz to the Nyquist frequency
    Peak peak;
};

// Long enough for the bodies' resonances to ring out, and for bins a small
// fraction of a hertz apart at audio rates.
inline constexpr int kImpulseFrames = 1 << 18;

Response measureResponse(const host::ModuleLibrary& library, const Body& body, double sampleRate,
                         Tuning tuning);
std::vector<Response> measureAll(const host::ModuleLibrary& library,
                                 const std::vector<Body>& bodies, double sampleRate, Tuning tuning);

// The largest magnitude above 0 Hz, placed between bins by a parabola
// through the neighbouring levels in decibels.
Peak findPeak(const std::vector<double>& magnitude, double binHz);

// Log-spaced frequencies from 20 Hz to just below Nyquist.
std::vector<double> plotFrequencies(double sampleRate, int points);

// The response at each of `frequencies`, holding the largest bin of the band
// around it, so that resonances narrower than a band still show at full height.
std::vector<double> magnitudeAt(const Response& response, const std::vector<double>& frequencies);

}  // namespace velmora::tool
