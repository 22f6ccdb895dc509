// corvane-autopar: 1-based static blocks, partials combined in a critical section.
#include "autopar/partition.hpp"
#include "core/corvane.hpp"

int CORVANE_ENTRY() {
    using namespace corvane;
    return run("corvane-autopar", summation_order::four_lane, partition_four_lane);
}
