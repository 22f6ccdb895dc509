// The obvious code: the term as written in the definition, in the
// program's order. Internal linkage on purpose: each file that includes it
// gets its own copy, compiled with that file's options, so one copy is left
// to the compiler and another (scalar_loops.cpp) is kept from vectorising.
#pragma once

#include <cstdint>

#include "core/corvane.hpp"

namespace corvane {
namespace {

double plain_term(std::int32_t k) { return midpoint_term(k, index_form::zero_based, step); }

double plain_strict(std::int32_t first, std::int32_t count) {
    double sum = 0.0;
    for (std::int32_t k = first; k < first + count; ++k) sum += plain_term(k);
    return sum;
}

double plain_four_lane(std::int32_t first, std::int32_t count) {
    double l0 = 0.0, l1 = 0.0, l2 = 0.0, l3 = 0.0;
    std::int32_t k = first;
    for (; k + 8 <= first + count; k += 8) {
        double t[8];
        for (int j = 0; j < 8; ++j) t[j] = plain_term(k + j);
        l0 += t[0];
        l1 += t[1];
        l2 += t[2];
        l3 += t[3];
        l0 += t[4];
        l1 += t[5];
        l2 += t[6];
        l3 += t[7];
    }
    double result = (l0 + l2) + (l1 + l3);
    for (; k < first + count; ++k) result += plain_term(k);
    return result;
}

}  // namespace
}  // namespace corvane
