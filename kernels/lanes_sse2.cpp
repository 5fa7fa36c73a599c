// The lane kernels on SSE2: two doubles a register. The baseline of x86-64,
// and the least the 32-bit library asks for.
#include <emmintrin.h>

#include "kernel_table.h"

#define VELMORA_LANES_TARGET gnu::target("sse2")
#include "channel_lanes.h"

namespace velmora::lanes {

namespace {

struct Sse2 {
    using Vec = __m128d;
    using Mask = __m128d;
    static constexpr int lanes = 2;
    // Two lanes a register pay from about 32 frames. The longer skew's
    // numerators do not fit in the registers beside the histories, and it
    // saves nothing overall.
    static constexpr int32_t lanesFrom = 32;
    static constexpr int32_t longSkewFrom(int) { return kNever; }
    // Channels in lanes pay from two channels, a full register.
    static constexpr int32_t channelsFrom(int) { return 2; }
    static constexpr int stagedRows = 2;

    VELMORA_LANE_OP Vec load(const double* p) { return _mm_loadu_pd(p); }
    VELMORA_LANE_OP void store(double* p, Vec v) { _mm_storeu_pd(p, v); }
    VELMORA_LANE_OP Vec zero() { return _mm_setzero_pd(); }
    VELMORA_LANE_OP Vec add(Vec a, Vec b) { return _mm_add_pd(a, b); }
    VELMORA_LANE_OP Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
    VELMORA_LANE_OP Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    VELMORA_LANE_OP Vec shiftUp(Vec below, Vec v) { return _mm_shuffle_pd(below, v, 0b01); }
    VELMORA_LANE_OP Vec shiftIn(double t, Vec v) { return _mm_unpacklo_pd(_mm_set_sd(t), v); }
    VELMORA_LANE_OP Vec broadcast(double x) { return _mm_set1_pd(x); }
    VELMORA_LANE_OP Mask lessOrEqual(Vec a, Vec b) { return _mm_cmple_pd(a, b); }
    VELMORA_LANE_OP Vec select(Mask m, Vec ifSet, Vec ifClear) {
        return _mm_or_pd(_mm_and_pd(m, ifSet), _mm_andnot_pd(m, ifClear));
    }
    template <unsigned bits>
    VELMORA_LANE_OP Mask constantMask() {
        return _mm_castsi128_pd(_mm_set_epi64x(bits & 2 ? -1 : 0, bits & 1 ? -1 : 0));
    }
    template <int j>
    VELMORA_LANE_OP double lane(Vec v) {
        if constexpr (j == 0) return _mm_cvtsd_f64(v);
        return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v));
    }

    // Frames f and f + 1 of two channels (rows), each frame a row of `to`,
    // `width` doubles after the one before; framesOut the way back.
    VELMORA_LANE_OP void framesIn(const float* const* rows, int f, double* to, int width) {
        const Vec c0 = _mm_cvtps_pd(pairAt(rows[0] + f)), c1 = _mm_cvtps_pd(pairAt(rows[1] + f));
        _mm_storeu_pd(to, _mm_unpacklo_pd(c0, c1));
        _mm_storeu_pd(to + width, _mm_unpackhi_pd(c0, c1));
    }
    VELMORA_LANE_OP void framesOut(const double* from, int width, float* const* rows, int f) {
        const Vec f0 = _mm_loadu_pd(from), f1 = _mm_loadu_pd(from + width);
        pairTo(rows[0] + f, _mm_cvtpd_ps(_mm_unpacklo_pd(f0, f1)));
        pairTo(rows[1] + f, _mm_cvtpd_ps(_mm_unpackhi_pd(f0, f1)));
    }
    VELMORA_LANE_OP __m128 pairAt(const float* p) {
        return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    VELMORA_LANE_OP void pairTo(float* p, __m128 v) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v));
    }
};

}  // namespace

constinit const KernelTable sse2Kernels = kernelsWith<ByFrameCount<Sse2>>();
constinit const TunedKernelTable sse2Tuned = tunedKernelsWith<ByFrameCount<Sse2>>();
constinit const ChannelKernelTable sse2Channels = channelKernelsWith<ByChannelCount<Sse2>>();
constinit const TunedChannelKernelTable sse2TunedChannels =
    tunedChannelKernelsWith<ByChannelCount<Sse2>>();
constinit const KernelTable sse2Skew2Kernels = kernelsWith<WithSkew<Sse2, 2>>();
constinit const TunedKernelTable sse2Skew2Tuned = tunedKernelsWith<WithSkew<Sse2, 2>>();

}  // namespace velmora::lanes
