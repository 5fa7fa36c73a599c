#include "response.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>

#include "body_channels.h"
#include "tool_error.h"

namespace velmora::tool {

namespace {

std::vector<double> magnitudeSpectrum(const std::vector<float>& signal) {
    const int n = static_cast<int>(signal.size());
    std::vector<double> in(signal.begin(), signal.end());
    std::unique_ptr<fftw_complex[], decltype(&fftw_free)> out(
        static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * (n / 2 + 1))), fftw_free);
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), out.get(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);

    std::vector<double> magnitude(static_cast<size_t>(n / 2 + 1));
    for (size_t k = 0; k < magnitude.size(); ++k) {
        magnitude[k] = std::hypot(out[k][0], out[k][1]);
    }
    return magnitude;
}

double decibels(double gain) {
    return 20.0 * std::log10(std::max(gain, 1e-300));
}

}  // namespace

Response measureResponse(const host::ModuleLibrary& library, const Body& body, double sampleRate,
                         Tuning tuning) {
    host::RenderSettings settings;
    settings.sampleRate = static_cast<float>(sampleRate);
    settings.type = static_cast<int16_t>(body.number);
    const std::vector<float> impulse = impulseResponse(library, settings, tuning, kImpulseFrames);

    Response response;
    response.body = body;
    response.sampleRate = sampleRate;
    response.binHz = sampleRate / kImpulseFrames;
    response.magnitude = magnitudeSpectrum(impulse);
    response.peak = findPeak(response.magnitude, response.binHz);
    return response;
}

std::vector<Response> measureAll(const host::ModuleLibrary& library,
                                 const std::vector<Body>& bodies, double sampleRate,
                                 Tuning tuning) {
    std::vector<Response> responses;
    for (const Body& body : bodies) {
        checkInterrupted();
        responses.push_back(measureResponse(library, body, sampleRate, tuning));
    }
    return responses;
}

Peak findPeak(const std::vector<double>& magnitude, double binHz) {
    if (magnitude.size() < 3) return {};
    const auto top = std::max_element(magnitude.begin() + 1, magnitude.end() - 1);
    const auto k = static_cast<size_t>(top - magnitude.begin());
    const double left = decibels(magnitude[k - 1]);
    const double centre = decibels(magnitude[k]);
    const double right = decibels(magnitude[k + 1]);
    const double curvature = left - 2.0 * centre + right;
    const double offset = curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
    const double level = centre - 0.25 * (left - right) * offset;
    return {std::pow(10.0, level / 20.0), (static_cast<double>(k) + offset) * binHz};
}

std::vector<double> plotFrequencies(double sampleRate, int points) {
    const double low = 20.0;
    const double high = 0.499 * sampleRate;
    std::vector<double> frequencies(static_cast<size_t>(points));
    for (int i = 0; i < points; ++i) {
        frequencies[static_cast<size_t>(i)] = low * std::pow(high / low, i / (points - 1.0));
    }
    return frequencies;
}

std::vector<double> magnitudeAt(const Response& response, const std::vector<double>& frequencies) {
    const auto& magnitude = response.magnitude;
    const auto lastBin = static_cast<double>(magnitude.size() - 1);
    std::vector<double> values;
    values.reserve(frequencies.size());
    for (size_t i = 0; i < frequencies.size(); ++i) {
        // The band reaches halfway, on the log axis, to each neighbour.
        const double f = frequencies[i];
        const double below = i > 0 ? std::sqrt(f * frequencies[i - 1]) : f;
        const double above = i + 1 < frequencies.size() ? std::sqrt(f * frequencies[i + 1]) : f;
        const auto first =
            static_cast<size_t>(std::clamp(std::ceil(below / response.binHz), 0.0, lastBin));
        const auto last =
            static_cast<size_t>(std::clamp(std::floor(above / response.binHz), 0.0, lastBin));
        if (first > last) {
            const auto nearest =
                static_cast<size_t>(std::clamp(std::round(f / response.binHz), 0.0, lastBin));
            values.push_back(magnitude[nearest]);
        } else {
            values.push_back(*std::max_element(magnitude.begin() + static_cast<long>(first),
                                               magnitude.begin() + static_cast<long>(last) + 1));
        }
    }
    return values;
}

}  // namespace velmora::tool
