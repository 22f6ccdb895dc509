// corvane-kernels' figures in the suite's results: found, run once with a
// time limit, and its Google Benchmark JSON read into kernel_figure values.
#pragma once

#include <string>
#include <vector>

#include "bench/model/model.hpp"
#include "bench/run/suite.hpp"

namespace corvane::bench {

// Long enough for every kernel on one and two threads on a slow machine;
// a run this long is stuck.
inline constexpr double kernels_timeout_s = 1800;

// Reads Google Benchmark's JSON (--benchmark_out_format=json): one figure
// per benchmark, "NAME/threads:N" split into name and threads; with
// repetitions, the median. Throws bench_error naming `source` and the
// field at fault.
std::vector<kernel_figure> read_kernel_figures(const std::string& text, const std::string& source);

// corvane-kernels by find_helper's rule from `own_dir`; throws bench_error
// where it is not found.
std::string find_kernels_program(const std::string& own_dir);

// Runs corvane-kernels through `run`, its JSON going to a private temporary
// file, and reads it. A run that fails, times out or writes no figures
// throws bench_error (not_written); an interrupted one returns nothing and
// leaves the signal to process::interrupted_by().
std::vector<kernel_figure> measure_kernels(const std::string& program, const program_runner& run);

}  // namespace corvane::bench
