// Oracles written out apart from the code they check: the two summation
// orders term by term, the blocks of an unchunked static schedule, and every
// total a runtime may make of a team's partials.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/corvane.hpp"

namespace corvane::testing {

inline double reference_term(std::int32_t k, index_form form = index_form::zero_based) {
    return midpoint_term(k, form, step);
}

inline double reference_strict(std::int32_t first, std::int32_t count, index_form form, double start) {
    double sum = start;
    for (std::int32_t k = first; k < first + count; ++k) sum = sum + reference_term(k, form);
    return sum;
}

inline double reference_four_lane(std::int32_t first, std::int32_t count, index_form form, double start) {
    const std::int32_t m = count - count % 8;
    double result = start;
    if (m > 0) {
        double l0 = start, l1 = 0.0, l2 = 0.0, l3 = 0.0;
        for (std::int32_t j = first; j < first + m; j += 8) {
            l0 += reference_term(j, form);
            l1 += reference_term(j + 1, form);
            l2 += reference_term(j + 2, form);
            l3 += reference_term(j + 3, form);
            l0 += reference_term(j + 4, form);
            l1 += reference_term(j + 5, form);
            l2 += reference_term(j + 6, form);
            l3 += reference_term(j + 7, form);
        }
        result = (l0 + l2) + (l1 + l3);
    }
    for (std::int32_t k = first + m; k < first + count; ++k) result += reference_term(k, form);
    return result;
}

// An unchunked static schedule: count iterations from first in `threads`
// contiguous blocks in thread order, each count / threads long, the first
// count % threads of them one longer.
inline std::vector<block> blocks_by_rule(std::int32_t first, std::int32_t count, int threads) {
    std::vector<block> blocks;
    std::int32_t next = first;
    for (int thread = 0; thread < threads; ++thread) {
        const std::int32_t length = count / threads + (thread < count % threads ? 1 : 0);
        blocks.push_back({next, length});
        next += length;
    }
    return blocks;
}

// Every result of adding the values in any order and any grouping (every
// full binary tree over them): what a runtime may make of a team's partials,
// whether it adds them as the threads arrive or in a tree. Sorted, each
// value once. Addition commutes exactly, so each split into two parts is
// taken once.
inline std::vector<double> every_total(const std::vector<double>& values) {
    const unsigned everything = (1u << values.size()) - 1;
    std::vector<std::vector<double>> totals(everything + 1);  // by the set of values used, as bits
    for (unsigned used = 1; used <= everything; ++used) {
        std::vector<double>& mine = totals[used];
        const unsigned lowest = used & (~used + 1);
        if (used == lowest) {
            for (std::size_t i = 0; i < values.size(); ++i)
                if (used == 1u << i) mine.push_back(values[i]);
            continue;
        }
        // The left part holds the lowest value used; the right part is the rest.
        for (unsigned left = (used - 1) & used; left != 0; left = (left - 1) & used) {
            if ((left & lowest) == 0) continue;
            for (double a : totals[left])
                for (double b : totals[used ^ left]) mine.push_back(a + b);
        }
        std::sort(mine.begin(), mine.end());
        mine.erase(std::unique(mine.begin(), mine.end()), mine.end());
    }
    return totals[everything];
}

inline bool contains(const std::vector<double>& sorted, double value) {
    return std::binary_search(sorted.begin(), sorted.end(), value);
}

}  // namespace corvane::testing
