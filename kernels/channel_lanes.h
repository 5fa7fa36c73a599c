// Channels of one body side by side in SIMD lanes.
//
// A body's cascade is one long chain within a frame, which the stage lanes
// (lanes.h) can only shorten so far. Channels have no chain between them at
// all: here channel j of a group lives in lane j of a register, and every
// operation of the scalar kernel runs for all of them at once, with each
// stage's coefficients broadcast to every lane:
//
//     y_k = (x_k - A_k*y_k[n-2]) - B_k*y_k[n-1],    x_{k+1} = numerator_k(y_k)
//
// Every lane does the scalar kernel's operations in its order, each
// multiplication and subtraction on its own, so every channel's bits are the
// ones it gets alone; the numerators other than 1 - z^-2 take their per-lane
// form (laneForm), as in the stage lanes.
//
// Samples reach the lanes through a small block of doubles, one row of the
// group's channels per frame, filled and emptied a few channels and frames
// at a time by the helper layer's transposes (framesIn, framesOut). Within a block the stages
// run skewed, as in the scalar kernel: in step i stage k works on frame i - k,
// so that the operations of one step do not wait for each other. The block's
// first steps fill that pipeline and its last ones drain it.
//
// Included by an instruction set's source file after lanes.h, whose helper
// layer also provides framesIn and framesOut for stagedRows channels
// (four_channel_staging.h for the layers with AVX's registers).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "lanes.h"

namespace velmora::lanes {

template <class Isa, class Shape>
class ChannelCascade {
    static constexpr int N = static_cast<int>(Shape::N);
    static constexpr int L = Isa::lanes;
    static constexpr int kBlockFrames = 256;  // a multiple of every helper layer's lanes
    using Vec = typename Isa::Vec;
    using Block = double[kBlockFrames][L];  // a row of the group's channels per frame

  public:
    // Channels first to first + count - 1 of `channels` (count at most the
    // lanes of a register; the lanes past it idle on silence).
    [[VELMORA_LANES_TARGET, gnu::noinline]] static void run(const Shape& shape,
                                                            const ChannelSet& channels,
                                                            int32_t first, int32_t count,
                                                            int32_t frames) {
        ChannelCascade group(shape, channels, first, count);
        // Apart from the group, whose histories then stay in registers.
        alignas(64) Block block;
        for (int64_t at = 0; at < frames; at += kBlockFrames) {
            const int n = static_cast<int>(std::min<int64_t>(kBlockFrames, frames - at));
            group.stageIn(block, at, n);
            group.filter(block, n);
            group.stageOut(block, at, n);
        }
        group.store();
    }

  private:
    [[VELMORA_LANES_TARGET,
      gnu::always_inline]] ChannelCascade(const Shape& shape, const ChannelSet& set,
                                          int32_t firstChannel, int32_t channelCount)
        : lanes(shape.lanes()),
          gains(shape.gains()),
          channels(set),
          first(firstChannel),
          count(channelCount) {
        alignas(64) double older[N][L] = {}, newer[N][L] = {};
        for (int c = 0; c < count; ++c) {
            const double* state = channels.states[first + c]->filterState;
            for (int k = 0; k < N; ++k) {
                older[k][c] = state[2 * k];
                newer[k][c] = state[2 * k + 1];
            }
        }
#pragma GCC unroll 16
        for (int k = 0; k < N; ++k) {
            y2[k] = Isa::load(older[k]);
            y1[k] = Isa::load(newer[k]);
            handed[k] = Isa::zero();
        }
    }

    // Each channel's history back where its state keeps it, by the rule
    // every kernel ends a call with.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void store() const {
        alignas(64) double older[N][L], newer[N][L];
#pragma GCC unroll 16
        for (int k = 0; k < N; ++k) {
            Isa::store(older[k], y2[k]);
            Isa::store(newer[k], y1[k]);
        }
        for (int c = 0; c < count; ++c) {
            double o[N], n[N];
            for (int k = 0; k < N; ++k) {
                o[k] = older[k][c];
                n[k] = newer[k][c];
            }
            storeHistory(channels.states[first + c]->filterState, o, n, N);
        }
    }

    // Frames at to at + n - 1 of every channel into the block; the idle
    // lanes read silence.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void stageIn(Block& block, int64_t at, int n) {
        static constexpr float kSilence[kBlockFrames] = {};
        const float* rows[L];
        for (int j = 0; j < L; ++j)
            rows[j] = j < count ? channels.inputs[first + j] + at : kSilence;
        // A few channels at a time over the whole block: the channels' rows
        // are often a power of two apart, and the cache holds only so many
        // lines that fall on the same set.
        constexpr int S = Isa::stagedRows;
        const int whole = n - n % S;
        for (int g = 0; g < L; g += S) {
            for (int i = 0; i < whole; i += S)
                Isa::framesIn(rows + g, i, &block[i][g], L);
        }
        for (int i = whole; i < n; ++i) {
            for (int j = 0; j < L; ++j)
                block[i][j] = static_cast<double>(rows[j][i]);
        }
    }

    // The block's n outputs to every channel; the idle lanes' go nowhere.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void stageOut(Block& block, int64_t at, int n) {
        float unused[kBlockFrames];
        float* rows[L];
        for (int j = 0; j < L; ++j)
            rows[j] = j < count ? channels.outputs[first + j] + at : unused;
        constexpr int S = Isa::stagedRows;
        const int whole = n - n % S;
        for (int g = 0; g < L; g += S) {
            for (int i = 0; i < whole; i += S)
                Isa::framesOut(&block[i][g], L, rows + g, i);
        }
        for (int i = whole; i < n; ++i) {
            for (int j = 0; j < L; ++j)
                rows[j][i] = static_cast<float>(block[i][j]);
        }
    }

    // The block's n frames through the cascade, each frame's output written
    // over its input once the input has been read for the dry term.
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void filter(Block& block, int n) {
        const int steps = n + N - 1;
        const int fullFrom = std::min(N, steps);
        int i = 0;
        for (; i < fullFrom; ++i)
            step<false>(block, i, n);
        for (; i < n; ++i)
            step<true>(block, i, n);
        for (; i < steps; ++i)
            step<false>(block, i, n);
    }

    // Step i: stage k on frame i - k, where that frame lies in the block. The
    // stages go from the last to the first, so that each takes what the one
    // before it handed on in the previous step before that one hands on anew.
    template <bool full>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void step(Block& block, int i, int n) {
        stages<full>(block, i, n, std::make_index_sequence<N>{});
        if (!active<full>(i, N - 1, n)) return;
        double* frame = block[i - (N - 1)];
        Isa::store(frame, mix(handed[N - 1], Isa::load(frame)));
    }

    template <bool full>
    static bool active(int i, int k, int n) {
        return full || (i - k >= 0 && i - k < n);
    }
    template <bool full, std::size_t... k>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void stages(Block& block, int i, int n,
                                                             std::index_sequence<k...>) {
        (stageInStep<full, N - 1 - k>(block, i, n), ...);
    }
    template <bool full, std::size_t k>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] void stageInStep(Block& block, int i, int n) {
        if (!active<full>(i, static_cast<int>(k), n)) return;
        handed[k] = stage<k>(k == 0 ? gain(Isa::load(block[i])) : handed[k == 0 ? 0 : k - 1]);
    }

    // Stage k on its input x: what it hands on.
    template <std::size_t k>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] Vec stage(Vec x) {
        const Vec a = Isa::broadcast(lanes.a[k]), b = Isa::broadcast(lanes.b[k]);
        const Vec y = Isa::sub(Isa::sub(x, Isa::mul(a, y2[k])), Isa::mul(b, y1[k]));
        const Vec next = numerator<k>(y, y1[k], y2[k]);
        y2[k] = y1[k];
        y1[k] = y;
        return next;
    }

    // y - y2, or (d*y2 - k*y1) + y where the body's numerator differs.
    template <std::size_t k>
    [[VELMORA_LANES_TARGET, gnu::always_inline]] Vec numerator(Vec y, Vec y1, Vec y2) const {
        if constexpr (Shape::special(k)) {
            const Vec d = Isa::broadcast(lanes.d[k]), m = Isa::broadcast(lanes.k[k]);
            return Isa::add(Isa::sub(Isa::mul(d, y2), Isa::mul(m, y1)), y);
        } else {
            return Isa::sub(y, y2);
        }
    }

    [[VELMORA_LANES_TARGET, gnu::always_inline]] Vec gain(Vec x) const {
        const Vec once = Isa::mul(x, Isa::broadcast(gains.first));
        return gains.two ? Isa::mul(once, Isa::broadcast(gains.second)) : once;
    }

    [[VELMORA_LANES_TARGET, gnu::always_inline]] static Vec mix(Vec filtered, Vec dry) {
        if constexpr (Shape::kDryTerm) {
            return Isa::add(Isa::mul(filtered, Isa::broadcast(HalfWetWithDry::kWet)),
                            Isa::mul(dry, Isa::broadcast(HalfWetWithDry::kDry)));
        } else {
            return filtered;
        }
    }

    const LaneCoefficients& lanes;
    const LaneGains gains;
    const ChannelSet& channels;
    const int32_t first;
    const int32_t count;
    Vec y1[N];      // per stage, each lane's y_k at its previous frame
    Vec y2[N];      // y_k one frame before that
    Vec handed[N];  // what stage k handed on last, for stage k + 1's next step
};

// Many channels of one body: a group of channels a register, the last one
// with idle lanes where at least the helper layer's channelsFrom(stages) are
// left;
// then pairs, their stages in lanes two channels a stage; a last lone channel
// with its stages in lanes.
template <class Isa>
struct ByChannelCount : ByFrameCount<Isa> {
    template <class Shape>
    [[VELMORA_LANES_TARGET]] static void runChannels(const Shape& shape, const ChannelSet& channels,
                                                     int32_t frames) {
        constexpr int32_t groupsFrom = Isa::channelsFrom(static_cast<int>(Shape::N));
        int32_t c = 0;
        for (; channels.count - c >= groupsFrom; c += Isa::lanes) {
            const int32_t count = std::min<int32_t>(Isa::lanes, channels.count - c);
            ChannelCascade<Isa, Shape>::run(shape, channels, c, count, frames);
        }
        if constexpr (Isa::lanes >= 4) {
            for (; channels.count - c >= 2; c += 2) {
                double* states[2] = {channels.states[c]->filterState,
                                     channels.states[c + 1]->filterState};
                LaneCascade<Isa, Shape, 2, 2>::run(shape, states, channels.inputs + c,
                                                   channels.outputs + c, frames);
            }
        }
        for (; c < channels.count; ++c)
            ByFrameCount<Isa>::run(shape, channels.states[c]->filterState, channels.inputs[c],
                                   channels.outputs[c], frames);
    }
};

}  // namespace velmora::lanes
