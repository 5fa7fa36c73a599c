// The resonator cascade that every instrument body is made of.
//
// A body is N two-pole resonators in series, each with fixed coefficients:
//
//     x_0[n] = gain(x[n])
//     y_k[n] = (x_k[n] - A_k*y_k[n-2]) - B_k*y_k[n-1]        H_k(z) = 1 / (1 + B_k z^-1 + A_k z^-2)
//     x_k[n] = y_{k-1}[n] - y_{k-1}[n-2]                     (1 - z^-2 between stages)
//     out[n] = mix(output(y_last[n], y_last[n-1], y_last[n-2]), x[n])
//
// Most bodies use 1 - z^-2 for the output as well; the winds replace the
// output numerator (or, for Oboe II, the one feeding the last stage) and two
// bodies mix in a little dry signal. Those departures are the small named
// types below, so each body is data plus one routine.
//
// Every operation is IEEE double in the written order; the build forbids
// contraction into fused multiply-adds, so the bits are the same on every
// build. State lives in locals for the whole call and is stored back once.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "default_fp_modes.h"
#include "kernels.h"

namespace velmora {

// Pole coefficients of one resonator: A multiplies y[n-2], B multiplies y[n-1].
struct Stage {
    double a;
    double b;
};

// --- Input gains ----------------------------------------------------------

struct InputGain {
    double g;
    double operator()(double x) const { return x * g; }
};

// Two gains applied one after the other, never folded into one constant.
struct TwoInputGains {
    double first;
    double second;
    double operator()(double x) const { return (x * first) * second; }
};

// --- Numerators, of a stage's output y[n], y[n-1], y[n-2] ------------------

// 1 - z^-2: zeros at 0 Hz and at half the sample rate.
struct Difference {
    double operator()(double y, double, double y2) const { return y - y2; }
};

// 1 - K z^-1 + z^-2: a notch on the unit circle at arccos(K/2).
struct Notch {
    double k;
    double operator()(double y, double y1, double y2) const { return (y2 - k * y1) + y; }
};

// 1 - K z^-1 + D z^-2 with D just below 1: a notch a hair inside the unit circle.
struct DampedNotch {
    double d;
    double k;
    double operator()(double y, double y1, double y2) const { return (d * y2 - k * y1) + y; }
};

// 1 + 2 z^-1 + z^-2 = (1 + z^-1)^2: a low-pass with a double zero at half the
// sample rate. The doubling is an addition, as it must be for the bits.
struct DoubleZeroAtNyquist {
    double operator()(double y, double y1, double y2) const { return (y2 + (y1 + y1)) + y; }
};

// The departures from 1 - z^-2 as one expression, (d*y2 - k*y1) + y, with
// constants that give each numerator's own bits: 1*y2 is y2, and -(-2*y1) is
// y1 + y1. The kernels that run the stages side by side in SIMD lanes form
// every such numerator this way; the tests hold each form to its formula.
struct LaneNumerator {
    double d;
    double k;
};
constexpr LaneNumerator laneForm(Notch n) {
    return {1.0, n.k};
}
constexpr LaneNumerator laneForm(DampedNotch n) {
    return {n.d, n.k};
}
constexpr LaneNumerator laneForm(DoubleZeroAtNyquist) {
    return {1.0, -2.0};
}

// --- Output mix, of the filtered value and the input sample ---------------

struct FilteredOnly {
    double operator()(double filtered, double) const { return filtered; }
};

// Half the filtered signal plus a trace of the dry input.
struct HalfWetWithDry {
    static constexpr double kWet = 0.5;
    static constexpr double kDry = 0.0001;
    double operator()(double filtered, double x) const { return filtered * kWet + x * kDry; }
};

// The input gains as the kernels that run channels in SIMD lanes apply them:
// x * first, then * second where a body has two.
struct LaneGains {
    double first;
    double second;
    bool two;
};
constexpr LaneGains laneForm(InputGain g) {
    return {g.g, 1.0, false};
}
constexpr LaneGains laneForm(TwoInputGains g) {
    return {g.first, g.second, true};
}

// One body: its gain, its stages in the order they run, and its numerators.
template <std::size_t N, class Gain, class IntoLastStage, class Output, class Mix>
struct Body {
    static constexpr std::size_t stageCount = N;
    Gain gain;
    std::array<Stage, N> stages;
    IntoLastStage intoLastStage{};
    Output output{};
    Mix mix{};
};

// The numerator after stage k of a body: what stage k+1, or for the last
// stage the output, receives.
template <const auto& body, std::size_t k>
constexpr auto numeratorAfter() {
    constexpr std::size_t N = std::remove_cvref_t<decltype(body)>::stageCount;
    if constexpr (k + 1 == N) {
        return body.output;
    } else if constexpr (k + 2 == N) {
        return body.intoLastStage;
    } else {
        return Difference{};
    }
}

template <std::size_t N>
using StandardBody = Body<N, InputGain, Difference, Difference, FilteredOnly>;
template <std::size_t N>
using BodyWithDryTerm = Body<N, InputGain, Difference, Difference, HalfWetWithDry>;
template <std::size_t N>
using NotchedBody = Body<N, InputGain, Difference, Notch, FilteredOnly>;

// Runs f.template operator()<k>() for k = 0 ... N-1, written out in full so
// that every stage's history can live in registers.
template <class F, std::size_t... k>
[[gnu::always_inline]] constexpr void forEachIndex(F& f, std::index_sequence<k...>) {
    (f.template operator()<k>(), ...);
}
template <std::size_t N, class F>
[[gnu::always_inline]] constexpr void forEachStage(F&& f) {
    forEachIndex(f, std::make_index_sequence<N>{});
}

// --- Where a cascade's numbers come from ---------------------------------

// Every run of a cascade reads its numbers through a shape: the stage count
// and the numerator forms are fixed when the library is built, the values are
// read from a record. The lane kernels read each numerator in the form
// (d*y2 - k*y1) + y from LaneCoefficients, lane by lane.
inline constexpr int kLaneSlots = 16;  // kMostSections rounded up to whole registers of any width

struct LaneCoefficients {
    alignas(64) double a[kLaneSlots] = {};
    alignas(64) double b[kLaneSlots] = {};
    alignas(64) double d[kLaneSlots] = {};
    alignas(64) double k[kLaneSlots] = {};
};

// A body designed for one sample rate: its gain, and per section the poles
// and the numerator 1 - k z^-1 + d z^-2 after them (a section without poles
// has a = b = 0 and is its numerator alone). Prepared before any call, read
// by every call; the lanes past `sections` are zeros.
struct TunedBody {
    int32_t sections = 0;
    bool dryTerm =
        false;  // Cello I and Contrabass: half the filtered signal plus a trace of the input
    double gain = 0.0;
    LaneCoefficients c;
};

// A body of the module's tables, its numbers constants of the library.
template <const auto& body>
struct FixedShape {
    static constexpr std::size_t N = std::remove_cvref_t<decltype(body)>::stageCount;
    double gain(double x) const { return body.gain(x); }
    template <std::size_t k>
    Stage stage() const {
        return body.stages[k];
    }
    template <std::size_t k>
    double numerator(double y, double y1, double y2) const {
        return numeratorAfter<body, k>()(y, y1, y2);
    }
    double mix(double filtered, double x) const { return body.mix(filtered, x); }
    static constexpr bool kDryTerm =
        std::is_same_v<std::remove_cvref_t<decltype(body.mix)>, HalfWetWithDry>;
    static constexpr LaneGains gains() { return laneForm(body.gain); }

    // Lane k forms its numerator as (d*y2 - k*y1) + y where it is not 1 - z^-2.
    template <std::size_t k>
    static constexpr bool specialAt() {
        return !std::is_same_v<decltype(numeratorAfter<body, k>()), Difference>;
    }
    static constexpr bool special(std::size_t k) {
        return [&]<std::size_t... i>(std::index_sequence<i...>) {
            return ((k == i && specialAt<i>()) || ...);
        }
        (std::make_index_sequence<N>{});
    }
    static constexpr LaneCoefficients kLanes = [] {
        LaneCoefficients c;
        forEachStage<N>([&]<std::size_t i>() {
            c.a[i] = body.stages[i].a;
            c.b[i] = body.stages[i].b;
            if constexpr (specialAt<i>()) {
                const LaneNumerator form = laneForm(numeratorAfter<body, i>());
                c.d[i] = form.d;
                c.k[i] = form.k;
            }
        });
        return c;
    }();
    const LaneCoefficients& lanes() const { return kLanes; }
};

// A body designed for a sample rate: n sections, every numerator general.
template <std::size_t n, class Mix>
struct TunedShape {
    static constexpr std::size_t N = n;
    const TunedBody& body;
    double gain(double x) const { return x * body.gain; }
    template <std::size_t k>
    Stage stage() const {
        return {body.c.a[k], body.c.b[k]};
    }
    template <std::size_t k>
    double numerator(double y, double y1, double y2) const {
        return (body.c.d[k] * y2 - body.c.k[k] * y1) + y;
    }
    double mix(double filtered, double x) const { return Mix{}(filtered, x); }
    static constexpr bool kDryTerm = std::is_same_v<Mix, HalfWetWithDry>;
    LaneGains gains() const { return {body.gain, 1.0, false}; }
    static constexpr bool special(std::size_t k) { return k < N; }
    const LaneCoefficients& lanes() const { return body.c; }
};

// A value too small to be a normal double is zero for every purpose of a
// 32-bit output; left in the state it would keep the processor in its slow
// subnormal path while the input stays silent.
inline double flushSubnormal(double v) {
    return std::fpclassify(v) == FP_SUBNORMAL ? 0.0 : v;
}

// Stores the history of a call's end where filterState keeps it: per stage
// k, y_k[n-2] (older[k]) and y_k[n-1] (newer[k]). Every way of running the
// stages ends here, so the next call may run them any other way.
//
// A NaN or an infinity left in the history would feed back through every
// stage for ever; the call's outputs stay what the arithmetic gave, and the
// next call starts from a clear history, as after open.
inline void storeHistory(double* state, const double* older, const double* newer,
                         std::size_t stages) {
    bool finite = true;
    for (std::size_t k = 0; k < stages; ++k)
        finite = finite && std::isfinite(older[k]) && std::isfinite(newer[k]);
    for (std::size_t k = 0; k < stages; ++k) {
        state[2 * k] = finite ? flushSubnormal(older[k]) : 0.0;
        state[2 * k + 1] = finite ? flushSubnormal(newer[k]) : 0.0;
    }
}

// One call of a cascade, with the history held in locals.
//
// Within one frame the stages form a long chain, each waiting for the one
// before, while from frame to frame a stage depends only on itself. So the
// stages run skewed: in step i, stage k works on frame i - k, taking what
// stage k-1 handed on in step i-1. A step is then N short recurrences the
// processor can overlap, and every stage still sees exactly the values, in
// exactly the order, of the frame-by-frame algorithm. The first steps of a
// call fill this pipeline and the last ones drain it.
template <class Shape>
class CascadeRun {
  public:
    static constexpr std::size_t N = Shape::N;
    static constexpr int32_t kLatency = static_cast<int32_t>(N) - 1;

    // filterState holds, per stage k, y_k[n-2] at 2k and y_k[n-1] at 2k+1.
    CascadeRun(const Shape& shape, const double* state, const float* input, float* output)
        : body(shape), in(input), out(output) {
        forEachStage<N>([&]<std::size_t k>() {
            y2[k] = state[2 * k];
            y1[k] = state[2 * k + 1];
        });
    }

    void store(double* state) const { storeHistory(state, y2, y1, N); }

    [[gnu::always_inline]] void run(int32_t frames) {
        // Counted wide: a call of nearly 2^31 frames still has its drain steps.
        const int64_t steps = int64_t{frames} + kLatency;
        // Full steps begin once the pipeline is filled.
        const int64_t fullFrom = std::min<int64_t>(kLatency + 1, steps);
        int64_t i = 0;
        for (; i < fullFrom; ++i)
            partialStep(i, frames);
        for (; i < frames; ++i)
            fullStep(i);
        for (; i < steps; ++i)
            partialStep(i, frames);
    }

  private:
    // A step in which every stage has a frame to work on.
    [[gnu::always_inline]] void fullStep(int64_t i) {
        double signal = body.gain(static_cast<double>(in[i]));
        forEachStage<N>([&]<std::size_t k>() {
            handOver<k>(signal);
            signal = stage<k>(signal);
        });
        emit(i - kLatency, in[i - kLatency], signal);
    }

    // A step at either end of the call: only the stages with a frame to work on.
    void partialStep(int64_t i, int32_t frames) {
        auto active = [&](int64_t k) { return i - k >= 0 && i - k < frames; };
        double signal = active(0) ? body.gain(static_cast<double>(in[i])) : 0.0;
        forEachStage<N>([&]<std::size_t k>() {
            handOver<k>(signal);
            if (active(static_cast<int64_t>(k))) signal = stage<k>(signal);
        });
        if (active(N - 1)) emit(i - kLatency, in[i - kLatency], signal);
    }

    // Stage k takes what stage k-1 handed on in the previous step, and this
    // step's value waits in its place for the next.
    template <std::size_t k>
    [[gnu::always_inline]] void handOver(double& signal) {
        if constexpr (k > 0) std::swap(signal, carried[k]);
    }

    // The input sample is read before the output is written, so the host may
    // give one buffer for both.
    void emit(int64_t frame, float sample, double filtered) {
        out[frame] = static_cast<float>(body.mix(filtered, static_cast<double>(sample)));
    }

    // Runs stage k on its input and answers what the next stage (or, for the
    // last stage, the output) receives.
    template <std::size_t k>
    double stage(double input) {
        const Stage c = body.template stage<k>();
        const double y = (input - c.a * y2[k]) - c.b * y1[k];
        const double next = body.template numerator<k>(y, y1[k], y2[k]);
        y2[k] = y1[k];
        y1[k] = y;
        return next;
    }

    const Shape body;
    const float* in;
    float* out;
    double y1[N];            // y_k at its stage's previous frame
    double y2[N];            // y_k one frame before that
    double carried[N] = {};  // carried[k]: what stage k takes in the next step
};

// What filters a call's frames: the history is read from filterState and
// stored back there in the same layout, so any engine may follow any other.
// A fixed body's engine knows its numbers; a tuned body's is handed them.
using CascadeEngine = void (*)(double* filterState, const float* input, float* output,
                               int32_t frames);
using TunedEngine = void (*)(const TunedBody& body, double* filterState, const float* input,
                             float* output, int32_t frames);

// The stages in scalar registers, one after the other. One copy per body,
// which the lane kernels call for blocks too short for their lanes to pay.
template <class Shape>
[[gnu::always_inline]] inline void runStages(const Shape& shape, double* filterState,
                                             const float* input, float* output, int32_t frames) {
    CascadeRun<Shape> run(shape, filterState, input, output);
    run.run(frames);
    run.store(filterState);
}
template <const auto& body>
[[gnu::noinline]] void scalarCascade(double* filterState, const float* input, float* output,
                                     int32_t frames) {
    runStages(FixedShape<body>{}, filterState, input, output, frames);
}
template <std::size_t n, class Mix>
[[gnu::noinline]] void scalarTuned(const TunedBody& body, double* filterState, const float* input,
                                   float* output, int32_t frames) {
    runStages(TunedShape<n, Mix>{body}, filterState, input, output, frames);
}
template <const auto& body>
void runScalar(const FixedShape<body>&, double* filterState, const float* input, float* output,
               int32_t frames) {
    scalarCascade<body>(filterState, input, output, frames);
}
template <std::size_t n, class Mix>
void runScalar(const TunedShape<n, Mix>& shape, double* filterState, const float* input,
               float* output, int32_t frames) {
    scalarTuned<n, Mix>(shape.body, filterState, input, output, frames);
}

// The same over many channels: an engine that runs them together, or one at
// a time.
using ChannelEngine = void (*)(const ChannelSet& channels, int32_t frames);
using TunedChannelEngine = void (*)(const TunedBody& body, const ChannelSet& channels,
                                    int32_t frames);
template <class Shape>
void eachChannelScalar(const Shape& shape, const ChannelSet& channels, int32_t frames) {
    for (int32_t c = 0; c < channels.count; ++c)
        runScalar(shape, channels.states[c]->filterState, channels.inputs[c], channels.outputs[c],
                  frames);
}

// The kernel of one body of the module's tables.
template <const auto& body, CascadeEngine engine = scalarCascade<body>>
void runCascade(KernelState& state, const float* input, float* output, int32_t frames) {
    if (frames <= 0) return;
    const DefaultFpModes modes;
    engine(state.filterState, input, output, frames);
}

template <ChannelEngine engine>
void runChannels(const ChannelSet& channels, int32_t frames) {
    if (frames <= 0 || channels.count <= 0) return;
    const DefaultFpModes modes;
    engine(channels, frames);
}

// The kernel of a body designed for a sample rate.
template <TunedEngine engine>
void runTunedCascade(const TunedBody& body, KernelState& state, const float* input, float* output,
                     int32_t frames) {
    if (frames <= 0) return;
    const DefaultFpModes modes;
    engine(body, state.filterState, input, output, frames);
}

template <TunedChannelEngine engine>
void runTunedChannels(const TunedBody& body, const ChannelSet& channels, int32_t frames) {
    if (frames <= 0 || channels.count <= 0) return;
    const DefaultFpModes modes;
    engine(body, channels, frames);
}

}  // namespace velmora
