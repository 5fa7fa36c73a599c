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

// The roots of z^2 + p z + q moved from the rate of their table to another,
// `stretch` being the table's rate over the other: a complex pair
// r e^(+-i theta) becomes r^s e^(+-i s theta), s = stretch, keeping its
// frequency and bandwidth in Hz; real roots stay where they are. `top`, at
// most pi, bounds the new angle, and `beyondTop` says whether it did.
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

// H(z) of a design at z = e^(i 2 pi f), f in cycles per sample.
std::complex<double> responseOf(const TunedBody& body, double cyclesPerSample) {
    const std::complex<double> w = std::polar(1.0, -2.0 * pi * cyclesPerSample);
    std::complex<double> h = body.gain;
    for (int i = 0; i < body.sections; ++i)
        h *= (1.0 - body.c.k[i] * w + body.c.d[i] * w * w) /
             (1.0 + body.c.b[i] * w + body.c.a[i] * w * w);
    return body.dryTerm ? h * 0.5 + 0.0001 : h;
}
double magnitude(const TunedBody& body, double hz, double rate) {
    return std::abs(responseOf(body, hz / rate));
}

// The gain that brings a moved design to its table's level: the mean of the
// two levels' difference in dB over the audio band, where the table's design
// is within 40 dB of its strongest.
double levelledGain(const TunedBody& moved, double rate, const TunedBody& table, double tableRate) {
    constexpr int kPoints = 96;
    const double top = std::min({18000.0, 0.45 * rate, 0.45 * tableRate});
    double want[kPoints], got[kPoints], strongest = -1e300;
    for (int i = 0; i < kPoints; ++i) {
        const double hz = 40.0 * std::pow(top / 40.0, i / (kPoints - 1.0));
        want[i] = 20.0 * std::log10(magnitude(table, hz, tableRate) + 1e-300);
        got[i] = 20.0 * std::log10(magnitude(moved, hz, rate) + 1e-300);
        strongest = std::max(strongest, want[i]);
    }
    double sum = 0.0;
    int counted = 0;
    for (int i = 0; i < kPoints; ++i) {
        if (want[i] > strongest - 40.0) {
            sum += want[i] - got[i];
            ++counted;
        }
    }
    return moved.gain * std::pow(10.0, sum / std::max(counted, 1) / 20.0);
}

TunedBody fromTable(const designs::Body& design, bool dryTerm) {
    TunedBody body;
    body.sections = design.sections;
    body.dryTerm = dryTerm;
    body.gain = design.gain;
    for (int i = 0; i < design.sections; ++i) {
        const designs::Section& s = design.section[static_cast<std::size_t>(i)];
        body.c.a[i] = s.a;
        body.c.b[i] = s.b;
        body.c.d[i] = s.d;
        body.c.k[i] = s.k;
    }
    return body;
}

}  // namespace

TunedBody tunedBodyAt(int32_t type, double rate) {
    const designs::RateDesigns& table = nearestTable(rate);
    // Types as in kernelForType: outside 1 to 16, Violin I.
    const auto i = static_cast<std::size_t>(type >= 1 && type < kTypeCount ? type - 1 : 0);
    const TunedBody exact = fromTable(table.bodies[i], kDryTerm[i]);
    if (rate == table.rate) return exact;
    TunedBody body = exact;
    const double stretch = table.rate / rate;
    for (int k = 0; k < body.sections; ++k) {
        bool beyond = false;
        const Quadratic poles = moved({body.c.b[k], body.c.a[k]}, stretch, 0.94 * pi, beyond);
        body.c.a[k] = beyond ? 0.0 : poles.q;  // a resonance above 0.47 of the rate is left out
        body.c.b[k] = beyond ? 0.0 : poles.p;
        const Quadratic zeros = moved({-body.c.k[k], body.c.d[k]}, stretch, pi, beyond);
        body.c.d[k] = zeros.q;
        body.c.k[k] = -zeros.p;
    }
    body.gain = levelledGain(body, rate, exact, table.rate);
    return body;
}

TunedBodies::TunedBodies(double rate, Tuning tuning)
    : tuned(tuning == Tuning::True && rate != 44000.0 && std::isfinite(rate) && rate > 0.0) {
    if (!tuned) return;
    for (int32_t type = 1; type < kTypeCount; ++type) {
        const auto i = static_cast<std::size_t>(type - 1);
        bodies[i] = tunedBodyAt(type, rate);
        const auto at =
            static_cast<std::size_t>(tunedKernelIndex(bodies[i].sections, bodies[i].dryTerm));
        kernels[i] = (*chosenKernelPath().tuned)[at];
        channelKernels[i] = (*chosenChannelPath().tunedChannels)[at];
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

void TunedBodies::process(int32_t type, const ChannelSet& channels, int32_t frames) const {
    // A lone channel runs on the library's one-channel path, as the module's.
    if (channels.count == 1) {
        process(type, *channels.states[0], channels.inputs[0], channels.outputs[0], frames);
        return;
    }
    if (!tuned || type == 0) {
        channelKernelForType(type)(channels, frames);
        return;
    }
    const auto i = static_cast<std::size_t>(type > 0 && type < kTypeCount ? type - 1 : 0);
    channelKernels[i](bodies[i], channels, frames);
}

std::complex<double> TunedBodies::response(int32_t type, double cyclesPerSample) const {
    if (!tuned || type == 0) return frequencyResponse(type, cyclesPerSample);
    return responseOf(
        bodies[static_cast<std::size_t>(type > 0 && type < kTypeCount ? type - 1 : 0)],
        cyclesPerSample);
}

}  // namespace velmora
