// The judgements of the harness, made once: every cell's statistics, its
// scaling against the serial program of its order, whether its threads were
// contended, and the marks a reader must see beside it. The reporters show
// what this wrote into the model and judge nothing again.
#pragma once

#include <vector>

#include "bench/model/model.hpp"

namespace corvane::bench {

// Fills every cell's statistics, scaled against the baseline cells present.
void evaluate(std::vector<cell>& cells);

// "corvane-omp threads 128: median 0.005 s is 5 tick(s) ...": for every
// cell under fewest_ticks ticks of the programs' clock, for the warnings
// before the table, with the harness's own clock beside it.
std::vector<std::string> tick_warnings(const std::vector<cell>& cells);

}  // namespace corvane::bench
