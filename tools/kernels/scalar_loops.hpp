// The plain loops as scalar code: the baseline that shows what SIMD buys.
// scalar_loops.cpp is built with the compiler's vectorisers off, and with
// the same floating-point policy as everything else, so the bits are the
// programs' bits.
#pragma once

#include <cstdint>

namespace corvane {

double scalar_strict(std::int32_t first, std::int32_t count);
double scalar_four_lane(std::int32_t first, std::int32_t count);

}  // namespace corvane
