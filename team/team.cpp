#include "team/team.hpp"

namespace corvane {

double team_four_lane_sum(std::int32_t first, std::int32_t count) {
    if (runtime_declines_to_fork()) return four_lane_sum(first, count, index_form::zero_based, 0.0);
    double sum = 0.0;
#pragma omp parallel reduction(+ : sum)
    {
        const block mine = my_block(first, count);
        const double partial = four_lane_sum(mine.first, mine.count, index_form::zero_based, 0.0);
        sum += partial;
    }
    return sum;
}

}  // namespace corvane
