#include "reduction.hpp"

#include "corvane.hpp"
#include "team.hpp"

namespace corvane {

void reduce_strict(double& sum, std::int32_t count) {
#pragma omp parallel reduction(+ : sum)
    {
        const block mine = my_block(0, count);
        const double partial = strict_sum(mine.first, mine.count, index_form::zero_based, 0.0);
        sum += partial;
    }
}

void reduce_four_lane(double& sum, std::int32_t count) { reduce_four_lane_range(sum, 0, count); }

void reduce_four_lane_range(double& sum, std::int32_t first, std::int32_t count) {
    if (runtime_declines_to_fork()) {
        const double partial = four_lane_sum(first, count, index_form::zero_based, 0.0);
        sum = partial + sum;
        return;
    }
#pragma omp parallel reduction(+ : sum)
    {
        const block mine = my_block(first, count);
        const double partial = four_lane_sum(mine.first, mine.count, index_form::zero_based, 0.0);
        sum += partial;
    }
}

}  // namespace corvane
