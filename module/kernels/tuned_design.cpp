#include "tuned_design.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <type_traits>

#include "coefficients.h"
#include "frequency_response.h"
#include "kernel_paths.h"
#include "rate_designs.h"

namespace velmora {

namespace {

using std::numbers::pi;

// Which bodies mix in a trace of the dry input (Cello I, Contrabass), by type - 1.
constexpr auto kDryTerm = []<const auto&... body>(bodies::BodySequence<body...>) {
    return std::array<bool, kTypeCount - 1>{
        std::is_same_v<std::remove_cvref_t<decltype(body.mix)>, HalfWetWithDry>...};
}
(bodies::CascadesByType{});

constexpr bool sectionCountsRun() {
    for (const designs::RateDesigns& row : designs::kFitted)
        for (const designs::Body& body : row.bodies)
            if (body.sections < kFewestSections || body.sections > kMostSections) return false;
    return true;
}
static_assert(sectionCountsRun(), "every design has a kernel for its number of sections");

const designs::RateDesigns& nearestTable(double rate) {
    auto distance = [&](const designs::RateDesigns& row) {
        return std::abs(std::log(rate / row.rate));
    };
    return *std::min_element(
        std::begin(designs::kFitted), std::end(designs::kFitted),
        [&](const auto& x, const auto& y) { return distance(x) < distance(y); });
}

// The roots of z^2 + p z + q moved from the rate of their table to a rate
// `stretch` times lower: a complex pair r e^(+-i theta) becomes r^s e^(+-i s
// theta), s = stretch, keeping its frequency and bandwidth in Hz; real roots
// stay where they are. `top`, at most pi, bounds the new angle.
struct Quadratic {
    double p, q;
};
Quadratic moved(Quadratic roots, double stretch, double top, bool& beyondTop) {
    beyondTop = false;
    if (roots.p * roots.p >= 4.0 * roots.q) return roots;
    const double r = std::sqrt(roots.q);
    const double angle = std::acos(std::clamp(-roots.p / (2.0 * r), -1.0, 1.0)) * stretch;
    beyondTop = angle >= top;
    const double radius = std::pow(r, stretch);
    return {-2.0 * radius * std::cos(std::min(angle, top)), radius * radius};
}

}  // namespace

TunedBody tunedBodyAt(int32_t type, double rate) {
    const designs::RateDesigns& table = nearestTable(rate);
    const designs::Body& design = table.bodies[static_cast<std::size_t>(type - 1)];
    TunedBody body;
    body.sections = design.sections;
    body.dryTerm = kDryTerm[static_cast<std::size_t>(type - 1)];
    body.gain = design.gain;
    const double stretch = table.rate / rate;
    for (int i = 0; i < design.sections; ++i) {
        designs::Section s = design.section[static_cast<std::size_t>(i)];
        if (rate != table.rate) {
            bool beyond = false;
            const Quadratic poles = moved({s.b, s.a}, stretch, 0.94 * pi, beyond);
            s.a = beyond ? 0.0 : poles.q;  // a resonance above 0.47 of the rate is left out
            s.b = beyond ? 0.0 : poles.p;
            const Quadratic zeros = moved({-s.k, s.d}, stretch, pi, beyond);
            s.d = zeros.q;
            s.k = -zeros.p;
        }
        body.c.a[i] = s.a;
        body.c.b[i] = s.b;
        body.c.d[i] = s.d;
        body.c.k[i] = s.k;
    }
    return body;
}

TunedBodies::TunedBodies(double rate, Tuning tuning)
    : tuned(tuning == Tuning::True && rate != 44000.0 && std::isfinite(rate) && rate > 0.0) {
    if (!tuned) return;
    const TunedKernelTable& run = *chosenKernelPath().tuned;
    for (int32_t type = 1; type < kTypeCount; ++type) {
        const auto i = static_cast<std::size_t>(type - 1);
        bodies[i] = tunedBodyAt(type, rate);
        kernels[i] =
            run[static_cast<std::size_t>(tunedKernelIndex(bodies[i].sections, bodies[i].dryTerm))];
    }
}

void TunedBodies::process(int32_t type, KernelState& state, const float* input, float* output,
                          int32_t frames) const {
    if (!tuned || type == 0) {
        kernelForType(type)(state, input, output, frames);
        return;
    }
    const auto i = static_cast<std::size_t>(type > 0 && type < kTypeCount ? type - 1 : 0);
    kernels[i](bodies[i], state, input, output, frames);
}

std::complex<double> TunedBodies::response(int32_t type, double cyclesPerSample) const {
    if (!tuned || type == 0) return frequencyResponse(type, cyclesPerSample);
    const TunedBody& body =
        bodies[static_cast<std::size_t>(type > 0 && type < kTypeCount ? type - 1 : 0)];
    const std::complex<double> w = std::polar(1.0, -2.0 * pi * cyclesPerSample);
    std::complex<double> h = body.gain;
    for (int i = 0; i < body.sections; ++i)
        h *= (1.0 - body.c.k[i] * w + body.c.d[i] * w * w) /
             (1.0 + body.c.b[i] * w + body.c.a[i] * w * w);
    return body.dryTerm ? h * 0.5 + 0.0001 : h;
}

}  // namespace velmora
