// The lane kernels on AVX2: four doubles a register.
#include <immintrin.h>

#include "kernel_table.h"

#define VELMORA_LANES_TARGET gnu::target("avx2")
#include "lanes.h"

namespace velmora::lanes {

namespace {

#define AVX2_FN [[gnu::target("avx2"), gnu::always_inline]] static

struct Avx2 {
    using Vec = __m256d;
    using Mask = __m256d;
    static constexpr int lanes = 4;
    // In the 64-bit build the longer skew pays on bodies of two registers as
    // soon as it can run; on the nine stages of Sympathetic, three registers
    // bound by their operations rather than by the chain, it does not.
    static constexpr int32_t lanesFrom = 0;
    static constexpr int32_t longSkewFrom(int stages) {
        if (!kSixteenRegisters) return 0;
        return stages <= 6 ? 0 : kNever;
    }

    AVX2_FN Vec load(const double* p) { return _mm256_loadu_pd(p); }
    AVX2_FN void store(double* p, Vec v) { _mm256_storeu_pd(p, v); }
    AVX2_FN Vec zero() { return _mm256_setzero_pd(); }
    AVX2_FN Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    AVX2_FN Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    AVX2_FN Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    // [below3, v0, v1, v2]: the halves [below2, below3, v0, v1], then pairs.
    AVX2_FN Vec shiftUp(Vec below, Vec v) {
        return _mm256_shuffle_pd(_mm256_permute2f128_pd(below, v, 0x21), v, 0b0101);
    }
    // [t, v0, v1, v2]: v rotated up a lane, t blended into lane 0.
    AVX2_FN Vec shiftIn(double t, Vec v) {
        return _mm256_blend_pd(_mm256_permute4x64_pd(v, _MM_SHUFFLE(2, 1, 0, 3)),
                               _mm256_castpd128_pd256(_mm_set_sd(t)), 0b0001);
    }
    AVX2_FN Vec broadcast(double x) { return _mm256_set1_pd(x); }
    AVX2_FN Mask lessOrEqual(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    AVX2_FN Vec select(Mask m, Vec ifSet, Vec ifClear) {
        return _mm256_blendv_pd(ifClear, ifSet, m);
    }
    template <unsigned bits>
    AVX2_FN Mask constantMask() {
        return _mm256_castsi256_pd(_mm256_set_epi64x(bits & 8 ? -1 : 0, bits & 4 ? -1 : 0,
                                                     bits & 2 ? -1 : 0, bits & 1 ? -1 : 0));
    }
    template <int j>
    AVX2_FN double lane(Vec v) {
        const __m128d half = j < 2 ? _mm256_castpd256_pd128(v) : _mm256_extractf128_pd(v, 1);
        if constexpr (j % 2 == 0) return _mm_cvtsd_f64(half);
        return _mm_cvtsd_f64(_mm_unpackhi_pd(half, half));
    }
};

}  // namespace

constinit const KernelTable avx2Kernels = kernelsWith<ByFrameCount<Avx2>::Engine>();
constinit const KernelTable avx2Skew2Kernels = kernelsWith<WithSkew<Avx2, 2>::Engine>();
constinit const KernelTable avx2Skew3Kernels = kernelsWith<WithSkew<Avx2, 3>::Engine>();

}  // namespace velmora::lanes
