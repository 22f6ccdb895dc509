// Whether a parallel cell's threads had the processors it is labelled with.
// A busy machine must not read as a property of the program: a second
// thread that hardly ran makes a speedup of 1 look like a serial fraction
// of 1. The process's CPU time and involuntary context switches show it.
#pragma once

#include <string>
#include <vector>

#include "bench/model.hpp"

namespace corvane::bench {

// An OpenMP cell of p threads is contended when its runs used less than this
// share of the CPU time of p busy threads over the reported time and one
// thread over the rest (the start-up and exit). The margin below 1 is for
// what a quiet machine costs even so: the shortest programs lose some of
// their time to starting the team and to the millisecond clock. A thread
// that shares its processor with other work costs far more: beside one busy
// core, two threads use at most two thirds of that time.
inline constexpr double least_parallel_share = 0.8;

// corvane-mpi's wall time is mostly the launcher starting and stopping the
// ranks, far longer than the sum itself, so CPU time / wall time says little
// about the sum's threads there: those cells are judged by their switches
// alone.

// More involuntary switches than this per second of CPU time, a preemption
// every 8 ms of running, means the threads waited for a processor, even
// where runtimes that spin while they wait (LLVM's libomp, MPI's progress
// loops) keep the CPU time up. A thread that shares its processor is
// preempted at every time slice, a few milliseconds, so waiting threads
// count well above this; a quiet run pays only for the kernel's own work,
// the harness waking to watch it and the team's start and end, a dozen or
// two per run, which stays below it even for the shortest programs.
// Counted per CPU second, not wall second, because a starved thread runs
// less and so is preempted less.
inline constexpr double most_preemptions_per_cpu_s = 120.0;

// Fills the cell's parallelism, preemption rate and contention from its
// valid samples, and what the judgement used. Serial and one-thread cells
// are never contended. Runs whose CPU time is unknown (ranks started by
// srun, which are slurmstepd's children) are not judged: "nothing".
void judge_contention(cell& c);

// "corvane-omp threads 2: ..." for every contended cell, for the warnings
// before the table.
std::vector<std::string> contention_warnings(const std::vector<cell>& cells);

}  // namespace corvane::bench
