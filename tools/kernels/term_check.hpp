// The term check: a correct total proves nothing about single terms, so
// every evaluation method is proved term by term over the whole range. Not
// part of the programs; corvane-kernels --verify and the tests use it.
#pragma once

#include <cstdint>

#include "core/kernels.hpp"

namespace corvane {

// How many of the 0-based terms first .. first + count - 1 the kernel
// evaluates differently from the plain IEEE 4.0 / (1.0 + x * x), checked
// one by one on every processor this process may use.
std::int64_t differing_terms(const kernel& checked, std::int32_t first, std::int32_t count);

// The same check of one evaluation on `workers` threads, each its static
// block of the range, the calling thread block 0: how a test gives it a
// faulty evaluation and chooses the blocks.
std::int64_t differing_terms(term_kernel terms, std::int32_t first, std::int32_t count, int workers);

}  // namespace corvane
