// corvane-autopar: 1-based static blocks, partials combined in a critical section.
#include "corvane.hpp"
#include "partition.hpp"

int CORVANE_ENTRY() { return corvane::run("corvane-autopar", corvane::partition_four_lane); }
