#include "frequency_response.h"

#include <array>
#include <numbers>

#include "coefficients.h"
#include "kernels.h"

namespace velmora {

namespace {

using Complex = std::complex<double>;

// Each part of a body as a polynomial in z^-1, evaluated at w = z^-1.
Complex at(const InputGain& gain, Complex) {
    return gain.g;
}
Complex at(const TwoInputGains& gains, Complex) {
    return gains.first * gains.second;
}
Complex at(const Difference&, Complex w) {
    return 1.0 - w * w;
}
Complex at(const Notch& notch, Complex w) {
    return 1.0 - notch.k * w + w * w;
}
Complex at(const DampedNotch& notch, Complex w) {
    return 1.0 - notch.k * w + notch.d * w * w;
}
Complex at(const DoubleZeroAtNyquist&, Complex w) {
    return (1.0 + w) * (1.0 + w);
}

Complex mixed(const FilteredOnly&, Complex filtered) {
    return filtered;
}
Complex mixed(const HalfWetWithDry&, Complex filtered) {
    return filtered * 0.5 + 0.0001;
}

// The input gain, every stage's poles, 1 - z^-2 into the stages up to the
// one before last, the numerator into the last stage, the output numerator,
// then the dry mix.
template <const auto& body>
Complex cascadeResponse(Complex w) {
    constexpr std::size_t n = std::remove_cvref_t<decltype(body)>::stageCount;
    Complex h = at(body.gain, w);
    for (const Stage& stage : body.stages)
        h /= 1.0 + stage.b * w + stage.a * w * w;
    for (std::size_t k = 2; k < n; ++k)
        h *= at(Difference{}, w);
    h *= at(body.intoLastStage, w) * at(body.output, w);
    return mixed(body.mix, h);
}

// 0.9994 (1 - z^-1) / (1 - 0.9994 z^-1).
Complex passFilterResponse(Complex w) {
    return 0.9994 * (1.0 - w) / (1.0 - 0.9994 * w);
}

}  // namespace

std::complex<double> frequencyResponse(int32_t type, double cyclesPerSample) {
    using Response = Complex (*)(Complex);
    static constexpr auto responses = []<const auto&... body>(bodies::BodySequence<body...>) {
        return std::array<Response, kTypeCount>{passFilterResponse, cascadeResponse<body>...};
    }
    (bodies::CascadesByType{});
    const Complex w = std::polar(1.0, -2.0 * std::numbers::pi * cyclesPerSample);
    return responses[type >= 0 && type < kTypeCount ? type : 1](w);
}

}  // namespace velmora
