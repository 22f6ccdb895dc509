// Whether a parallel cell's threads had the processors it is labelled with.
// A busy machine must not read as a property of the program: a second
// thread that hardly ran makes a speedup of 1 look like a serial fraction
// of 1. The process's CPU time and involuntary context switches show it.
#pragma once

#include <string>
#include <vector>

#include "bench/model.hpp"

namespace corvane::bench {

// An OpenMP cell of p threads whose CPU time / wall time stays under this
// share of p is contended. The wall time also holds the start-up and exit,
// on one thread: about a tenth of the shortest program's run here.
inline constexpr double least_parallel_share = 0.9;

// corvane-mpi's wall time is mostly the launcher starting and stopping the
// ranks (about 1 s around a sum of 0.3 s, measured with Open MPI on the
// 2-core AMD EPYC), so CPU time / wall time says little about the sum's
// threads there: those cells are judged by their switches alone.

// More involuntary switches than this per second of CPU time, a preemption
// every 10 ms of running, means the threads waited for a processor, even
// where runtimes that spin while they wait (LLVM's libomp, MPI's progress
// loops) keep the CPU time up. A thread that shares its processor is
// preempted at every time slice, a few milliseconds: about 300 per CPU
// second on Linux 6.18 with other work running. A quiet machine preempts a
// few times a second, for the kernel's own work and the harness waking to
// watch the run. Counted per CPU second, not wall second, because a starved
// thread runs less and so is preempted less.
inline constexpr double most_preemptions_per_cpu_s = 100.0;

// Fills the cell's parallelism, preemption rate and contention from its
// valid samples. Serial and one-thread cells are never contended.
void judge_contention(cell& c);

// "corvane-omp threads 2: ..." for every contended cell, for the warnings
// before the table.
std::vector<std::string> contention_warnings(const std::vector<cell>& cells);

}  // namespace corvane::bench
