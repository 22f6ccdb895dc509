// The body of every kernel. Each kernels_<path>[_newton].cpp includes it with
// its own instruction-set flags and a distinct CORVANE_KERNEL_NAME; everything
// here has internal linkage, so no function built for a wide instruction set
// can be picked by the linker for another translation unit.
//
// Terms are evaluated eight at a time in the path's widest vectors; the
// additions stay in the prescribed order: strict order adds each term to one
// scalar, four-lane order keeps each lane L0..L3 in a vector lane of its own.
//
// CORVANE_NEWTON selects the evaluation without a division instruction. Its
// fused multiply-adds are written out on purpose; the build still compiles
// with -ffp-contract=off, so the compiler fuses nothing on its own.
#include <cstdint>
#include <cstring>

#ifdef CORVANE_NEWTON
#include <immintrin.h>
#endif

#ifndef CORVANE_VECTOR_BYTES
#define CORVANE_VECTOR_BYTES 16
#endif

#ifndef CORVANE_KERNEL_NAME
#error "define CORVANE_KERNEL_NAME before including kernels_body.hpp"
#endif

namespace {

using std::int32_t;

double scalar_term(int32_t k, double step_width) {
    const double x = (static_cast<double>(k) + 0.5) * step_width;
    return 4.0 / (1.0 + x * x);
}

double add_terms_in_order(int32_t first, int32_t count, double sum, double step_width) {
    for (int32_t k = first; k < first + count; ++k) sum += scalar_term(k, step_width);
    return sum;
}

#if defined(__GNUC__)

// One native vector of the path: CORVANE_VECTOR_BYTES wide (16 on SSE2,
// 32 on AVX2, 64 on AVX-512); a pass covers eight terms in `per_pass` of them.
typedef double vec __attribute__((vector_size(CORVANE_VECTOR_BYTES)));
typedef double v4d __attribute__((vector_size(32)));
constexpr int width = CORVANE_VECTOR_BYTES / 8;
constexpr int per_pass = width < 8 ? 8 / width : 1;

// Midpoints k + 0.5 of the next eight terms, kept as exact doubles and
// advanced by 8.0 a pass; every value stays far below 2^53, so none rounds.
struct midpoints {
    vec m[per_pass];
};

midpoints midpoints_from(int32_t first) {
    midpoints next;
    for (int v = 0; v < per_pass; ++v)
        for (int lane = 0; lane < width; ++lane)
            next.m[v][lane] = static_cast<double>(first) + 0.5 + v * width + lane;
    return next;
}

#ifdef CORVANE_NEWTON

// The correctly rounded 1/b for b in [1, 2). A Newton step r + r(1 - br)
// squares the relative error; once r is within an ulp of 1/b, the residual
// 1 - br is exact in a fused multiply-add and one more step rounds r + r*e
// to the nearest double (Markstein). Every term of the range is checked
// against IEEE division (corvane-kernels --verify, and the test suite).
#if CORVANE_VECTOR_BYTES == 64
inline vec newton_step(vec b, vec r) {
    const __m512d e = _mm512_fnmadd_pd((__m512d)b, (__m512d)r, _mm512_set1_pd(1.0));
    return (vec)_mm512_fmadd_pd((__m512d)r, e, (__m512d)r);
}
// vrcp14pd: relative error below 2^-14; three steps reach 2^-56 and round.
inline vec reciprocal(vec b) {
    // The masked form: GCC 12 warns about the unmasked one's undefined source.
    vec r = (vec)_mm512_maskz_rcp14_pd(0xFF, (__m512d)b);
    for (int i = 0; i < 3; ++i) r = newton_step(b, r);
    return r;
}
#elif CORVANE_VECTOR_BYTES == 32
inline vec newton_step(vec b, vec r) {
    const __m256d e = _mm256_fnmadd_pd((__m256d)b, (__m256d)r, _mm256_set1_pd(1.0));
    return (vec)_mm256_fmadd_pd((__m256d)r, e, (__m256d)r);
}
// vrcpps on b rounded to single precision: relative error below 1.5 * 2^-12;
// three steps reach 2^-45 and beyond, the fourth rounds.
inline vec reciprocal(vec b) {
    vec r = (vec)_mm256_cvtps_pd(_mm_rcp_ps(_mm256_cvtpd_ps((__m256d)b)));
    for (int i = 0; i < 4; ++i) r = newton_step(b, r);
    return r;
}
#else
#error "the newton method needs 32- or 64-byte vectors"
#endif

// 4/b = 4 * (1/b) exactly: scaling by a power of two never rounds here.
inline vec quotient(vec b) { return 4.0 * reciprocal(b); }

#else

inline vec quotient(vec b) { return 4.0 / b; }

#endif

// t = 4 / (1 + x*x), x = midpoint * step: each operation rounded on its own.
inline void next_terms(midpoints& next, vec step_width, vec terms[per_pass]) {
    for (int v = 0; v < per_pass; ++v) {
        const vec x = next.m[v] * step_width;
        terms[v] = quotient(1.0 + x * x);
        next.m[v] += 8.0;
    }
}

void terms_kernel(int32_t first, int32_t count, double step_width, double* out) {
    const int32_t passes = count / 8;
    const vec w = vec{} + step_width;
    midpoints next = midpoints_from(first);
    for (int32_t r = 0; r < passes; ++r, out += 8) {
        vec t[per_pass];
        next_terms(next, w, t);
        std::memcpy(out, t, sizeof t);
    }
    for (int32_t k = first + passes * 8; k < first + count; ++k) *out++ = scalar_term(k, step_width);
}

double strict_kernel(int32_t first, int32_t count, double start, double step_width) {
    const int32_t passes = count / 8;
    const vec w = vec{} + step_width;
    midpoints next = midpoints_from(first);
    double sum = start;
    for (int32_t r = 0; r < passes; ++r) {
        vec t[per_pass];
        next_terms(next, w, t);
        for (int v = 0; v < per_pass; ++v)
            for (int lane = 0; lane < width; ++lane) sum += t[v][lane];
    }
    return add_terms_in_order(first + passes * 8, count % 8, sum, step_width);
}

// Lane l of the four-lane order lives in lane l % width of accumulator
// l / width (two-wide: L0 L1 | L2 L3; four-wide: L0 L1 L2 L3). With
// eight-wide terms the halves go one after the other into a four-wide one.
double four_lane_kernel(int32_t first, int32_t count, double start, double step_width) {
    const int32_t passes = count / 8;
    double result = start;
    if (passes > 0) {
        const vec w = vec{} + step_width;
        midpoints next = midpoints_from(first);
        double lane[4];
#if CORVANE_VECTOR_BYTES == 64
        {
            v4d lanes{start, 0.0, 0.0, 0.0};
            for (int32_t r = 0; r < passes; ++r) {
                vec t[1];
                next_terms(next, w, t);
                lanes += __builtin_shufflevector(t[0], t[0], 0, 1, 2, 3);
                lanes += __builtin_shufflevector(t[0], t[0], 4, 5, 6, 7);
            }
            for (int l = 0; l < 4; ++l) lane[l] = lanes[l];
        }
#else
        {
            constexpr int accumulators = 4 / width;
            vec lanes[accumulators] = {};
            lanes[0][0] = start;
            for (int32_t r = 0; r < passes; ++r) {
                vec t[per_pass];
                next_terms(next, w, t);
                for (int v = 0; v < per_pass; ++v) lanes[v % accumulators] += t[v];
            }
            for (int l = 0; l < 4; ++l) lane[l] = lanes[l / width][l % width];
        }
#endif
        result = (lane[0] + lane[2]) + (lane[1] + lane[3]);
    }
    return add_terms_in_order(first + passes * 8, count % 8, result, step_width);
}

// Not an order any program uses: the terms evaluated into eight independent
// vector accumulators, so nothing waits on an addition. Its speed is the
// limit that evaluating the terms sets for any order.
double evaluation_floor(int32_t first, int32_t count, double start, double step_width) {
    const int32_t passes = count / 64;
    const vec w = vec{} + step_width;
    midpoints next = midpoints_from(first);
    vec sums[8][per_pass] = {};
    for (int32_t r = 0; r < passes; ++r)
        for (auto& sum : sums) {
            vec t[per_pass];
            next_terms(next, w, t);
            for (int v = 0; v < per_pass; ++v) sum[v] += t[v];
        }
    double result = start;
    for (auto& sum : sums)
        for (int v = 0; v < per_pass; ++v)
            for (int lane = 0; lane < width; ++lane) result += sum[v][lane];
    return add_terms_in_order(first + passes * 64, count % 64, result, step_width);
}

#else  // no vector extensions: four scalar lanes in the same order

double strict_kernel(int32_t first, int32_t count, double start, double step_width) {
    return add_terms_in_order(first, count, start, step_width);
}

double four_lane_kernel(int32_t first, int32_t count, double start, double step_width) {
    const int32_t passes = count / 8;
    double result = start;
    if (passes > 0) {
        double lane[4] = {start, 0.0, 0.0, 0.0};
        for (int32_t j = first; j < first + passes * 8; j += 8)
            for (int32_t offset = 0; offset < 8; ++offset)
                lane[offset % 4] += scalar_term(j + offset, step_width);
        result = (lane[0] + lane[2]) + (lane[1] + lane[3]);
    }
    return add_terms_in_order(first + passes * 8, count % 8, result, step_width);
}

double evaluation_floor(int32_t first, int32_t count, double start, double step_width) {
    double sums[8] = {start};
    for (int32_t k = 0; k < count; ++k) sums[k % 8] += scalar_term(first + k, step_width);
    return ((sums[0] + sums[1]) + (sums[2] + sums[3])) + ((sums[4] + sums[5]) + (sums[6] + sums[7]));
}

void terms_kernel(int32_t first, int32_t count, double step_width, double* out) {
    for (int32_t k = first; k < first + count; ++k) *out++ = scalar_term(k, step_width);
}

#endif

}  // namespace

#ifdef CORVANE_NEWTON
#define CORVANE_KERNEL_METHOD "newton"
#else
#define CORVANE_KERNEL_METHOD "divide"
#endif

extern const corvane::kernel CORVANE_KERNEL_NAME;
const corvane::kernel CORVANE_KERNEL_NAME = {CORVANE_KERNEL_LABEL, CORVANE_KERNEL_METHOD, strict_kernel,
                                             four_lane_kernel,     evaluation_floor,      terms_kernel};
