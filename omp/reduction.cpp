#include "omp/reduction.hpp"

#include "core/corvane.hpp"
#include "team/team.hpp"

namespace corvane {

void reduce_strict(double& sum, std::int32_t count) {
#pragma omp parallel reduction(+ : sum)
    {
        const block mine = my_block(0, count);
        const double partial = strict_sum(mine.first, mine.count, index_form::zero_based, 0.0);
        sum += partial;
    }
}

void reduce_four_lane(double& sum, std::int32_t count) { sum = team_four_lane_sum(0, count) + sum; }

}  // namespace corvane
