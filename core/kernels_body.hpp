// The body of every kernel path. Each kernels_<path>.cpp includes it with its
// own instruction-set flags and a distinct CORVANE_KERNEL_NAME; everything
// here has internal linkage, so no function built for a wide instruction set
// can be picked by the linker for another translation unit.
//
// Terms are evaluated eight at a time in a vector the compiler splits into
// the widest registers the path allows; the additions stay in the prescribed
// order: strict order adds each term to one scalar, four-lane order adds to a
// four-wide accumulator whose lane l holds L_l.
#include <cstdint>

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

// Vectors wider than the path's registers are passed between these internal
// functions; GCC warns that their ABI differs between paths, which cannot
// matter for functions no other translation unit calls.
#pragma GCC diagnostic ignored "-Wpsabi"

typedef double v8d __attribute__((vector_size(64)));
typedef double v4d __attribute__((vector_size(32)));

// Midpoints k + 0.5 are kept as exact doubles and advanced by 8.0 a pass;
// every value stays below 2^31, so no step rounds.
struct eight_terms {
    v8d midpoints;
    v8d step_width;
    v8d next() {
        const v8d x = midpoints * step_width;
        const v8d t = 4.0 / (1.0 + x * x);
        midpoints += 8.0;
        return t;
    }
};

eight_terms terms_from(int32_t first, double step_width) {
    const double m = static_cast<double>(first) + 0.5;
    return {v8d{m, m + 1, m + 2, m + 3, m + 4, m + 5, m + 6, m + 7}, v8d{} + step_width};
}

double strict_kernel(int32_t first, int32_t count, double start, double step_width) {
    const int32_t passes = count / 8;
    eight_terms terms = terms_from(first, step_width);
    double sum = start;
    for (int32_t r = 0; r < passes; ++r) {
        const v8d t = terms.next();
        sum += t[0]; sum += t[1]; sum += t[2]; sum += t[3];
        sum += t[4]; sum += t[5]; sum += t[6]; sum += t[7];
    }
    return add_terms_in_order(first + passes * 8, count % 8, sum, step_width);
}

double four_lane_kernel(int32_t first, int32_t count, double start, double step_width) {
    const int32_t passes = count / 8;
    double result = start;
    if (passes > 0) {
        eight_terms terms = terms_from(first, step_width);
        v4d lanes{start, 0.0, 0.0, 0.0};
        for (int32_t r = 0; r < passes; ++r) {
            const v8d t = terms.next();
            lanes += __builtin_shufflevector(t, t, 0, 1, 2, 3);
            lanes += __builtin_shufflevector(t, t, 4, 5, 6, 7);
        }
        result = (lanes[0] + lanes[2]) + (lanes[1] + lanes[3]);
    }
    return add_terms_in_order(first + passes * 8, count % 8, result, step_width);
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

#endif

}  // namespace

extern const corvane::kernel_path CORVANE_KERNEL_NAME;
const corvane::kernel_path CORVANE_KERNEL_NAME = {CORVANE_KERNEL_LABEL, strict_kernel,
                                                  four_lane_kernel};
