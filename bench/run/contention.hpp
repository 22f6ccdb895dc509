// Whether a parallel cell's threads had the processors it is labelled with.
// A busy machine must not read as a property of the program: a second
// thread that hardly ran makes a speedup of 1 look like a serial fraction
// of 1. The process's CPU time and involuntary context switches show it.
#pragma once

#include <string>
#include <vector>

#include "bench/model/model.hpp"

namespace corvane::bench {

// A cell of p threads (a serial program being one) is contended when its
// runs used less than this share of the CPU time of p busy threads over the
// reported time and one thread over the rest (the start-up and exit). The
// margin below 1 is for what a quiet machine costs even so: the shortest
// programs lose some of their time to starting the team and to the
// millisecond clock. A thread that shares its processor with other work
// costs far more: beside one busy core, two threads use at most two thirds
// of that time. A serial program does not spin, so waiting for a processor
// shows in this share.
inline constexpr double least_parallel_share = 0.8;

// corvane-mpi's wall time is mostly the launcher starting and stopping the
// ranks, far longer than the sum itself, so CPU time / wall time says little
// about the sum's threads there: those cells are judged by their switches
// alone.

// Involuntary switches per second of CPU time show threads that waited for
// a processor even where runtimes that spin while they wait (LLVM's libomp,
// MPI's progress loops) keep the CPU time up. A thread that shares its
// processor is preempted at every time slice, a few milliseconds, so waiting
// threads count well above these limits; a quiet run pays only for the
// kernel's own work, the harness waking to watch it and the team's start and
// end, a dozen or two per run. Counted per CPU second, not wall second,
// because a starved thread runs less and so is preempted less.
//
// Above this many alone, about twice what quiet 2-thread runs reach, a cell
// is contended.
inline constexpr double most_preemptions_per_cpu_s = 200.0;
// Above this many, a quarter over the quiet most, it is contended only with
// a second sign: its CPU share below busy_share, some time lost besides.
inline constexpr double many_preemptions_per_cpu_s = 120.0;
inline constexpr double busy_share = 0.9;

// Fills the cell's parallelism, preemption rate and contention from its
// valid samples, and what the assessment used. A serial or one-thread cell
// is assessed by its CPU share alone: with nothing that spins, preemptions
// add nothing to it. Runs whose CPU time is unknown (ranks that a
// scheduler's launcher started, which are not this process's descendants)
// are not assessed: "nothing".
void assess_contention(cell& c);

// "corvane-omp threads 2: ..." for every contended cell, for the warnings
// before the table.
std::vector<std::string> contention_warnings(const std::vector<cell>& cells);

}  // namespace corvane::bench
