// The lane kernels on AVX-512F: eight doubles a register, so a body of up to
// eight stages fits in one.
#include <immintrin.h>

#include "kernel_table.h"

#define VELMORA_LANES_TARGET gnu::target("avx512f")
#include "lanes.h"

namespace velmora::lanes {

namespace {

#define AVX512_FN [[gnu::target("avx512f"), gnu::always_inline]] static

struct Avx512 {
    using Vec = __m512d;
    using Mask = __mmask8;
    static constexpr int lanes = 8;
    // As the four-lane kernels.
    static constexpr int32_t lanesFrom = 0;
    static constexpr int32_t longSkewFrom(int stages) {
        if (!kSixteenRegisters) return 0;
        return stages <= 6 ? 0 : kNever;
    }

    AVX512_FN Vec load(const double* p) { return _mm512_loadu_pd(p); }
    AVX512_FN void store(double* p, Vec v) { _mm512_storeu_pd(p, v); }
    AVX512_FN Vec zero() { return _mm512_setzero_pd(); }
    AVX512_FN Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    AVX512_FN Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    AVX512_FN Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    // [below7, v0 ... v6]: an index of 8 or more picks from the second source.
    AVX512_FN Vec shiftUp(Vec below, Vec v) {
        return _mm512_permutex2var_pd(v, _mm512_set_epi64(6, 5, 4, 3, 2, 1, 0, 15), below);
    }
    // [t, v0 ... v6]
    AVX512_FN Vec shiftIn(double t, Vec v) {
        return _mm512_permutex2var_pd(v, _mm512_set_epi64(6, 5, 4, 3, 2, 1, 0, 8),
                                      _mm512_castpd128_pd512(_mm_set_sd(t)));
    }
    AVX512_FN Vec broadcast(double x) { return _mm512_set1_pd(x); }
    AVX512_FN Mask lessOrEqual(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    AVX512_FN Vec select(Mask m, Vec ifSet, Vec ifClear) {
        return _mm512_mask_blend_pd(m, ifClear, ifSet);
    }
    template <unsigned bits>
    AVX512_FN Mask constantMask() {
        return static_cast<Mask>(bits);
    }
    template <int j>
    AVX512_FN double lane(Vec v) {
        if constexpr (j == 0) return _mm512_cvtsd_f64(v);
        // Only lane 0 is asked for; the others keep v's.
        return _mm512_cvtsd_f64(_mm512_mask_permutexvar_pd(v, 1, _mm512_set1_epi64(j), v));
    }
};

}  // namespace

constinit const KernelTable avx512Kernels = kernelsWith<ByFrameCount<Avx512>::Engine>();
constinit const KernelTable avx512Skew2Kernels = kernelsWith<WithSkew<Avx512, 2>::Engine>();
constinit const KernelTable avx512Skew3Kernels = kernelsWith<WithSkew<Avx512, 3>::Engine>();

}  // namespace velmora::lanes
