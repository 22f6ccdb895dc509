#include "autopar/partition.hpp"

#include "core/corvane.hpp"
#include "team/team.hpp"

namespace corvane {

void partition_four_lane(double& sum, std::int32_t count) {
    if (runtime_declines_to_fork()) {
        sum = four_lane_sum(0, count, index_form::zero_based, 0.0);
        return;
    }
#pragma omp parallel shared(sum)
    {
        const block mine = my_block(1, count);
        const double partial = four_lane_sum(mine.first, mine.count, index_form::one_based, 0.0);
#pragma omp critical(corvane_sum)
        sum = partial + sum;
    }
}

}  // namespace corvane
