#include "tools/kernels/scalar_loops.hpp"

#include "tools/kernels/plain_loops.hpp"

namespace corvane {

double scalar_strict(std::int32_t first, std::int32_t count) { return plain_strict(first, count); }
double scalar_four_lane(std::int32_t first, std::int32_t count) { return plain_four_lane(first, count); }

}  // namespace corvane
