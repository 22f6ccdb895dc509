// The kernel benchmarks: each summation kernel beside the floors its order
// allows, measured in the same run, on one thread and on two.
//
// floors:  addition_chain         one dependent double addition per term: no
//                                 strict-order sum can be faster
//          four_lane_chain        two dependent four-wide vector additions per
//                                 eight terms: the four-lane order's own chain
//          evaluation/PATH/METHOD terms into independent accumulators: how fast
//                                 that kernel evaluates terms at all
// kernels: strict/PATH/METHOD, four_lane/PATH/METHOD   what the programs run
//          plain_strict, plain_four_lane               the obvious loops, left to the compiler
//          scalar/strict, scalar/four_lane             the same loops, kept from vectorising:
//                                                      the baseline of what SIMD buys
// Counters: ns_per_term (wall clock, all threads' terms); vs_floor against
// the binding floor. Strict: the addition chain. Four-lane: the slower of
// its own chain and the fastest exact evaluation, each also shown alone
// (vs_chain, vs_evaluation).
#pragma once

#include <string>
#include <vector>

namespace corvane::kernels {

// Runs the benchmarks with Google Benchmark's own flags; with a json_path,
// also writes them there as Google Benchmark JSON and checks that the file
// is whole. Returns the exit status; a usage problem is a tool_error.
int run_benchmarks(const std::vector<std::string>& benchmark_flags, const std::string& json_path);

// Whether the regular file at path ends as a JSON document does: Google
// Benchmark does not say when a write fails. Anything but a regular file is
// not read (it might never end, or block).
bool complete_json(const std::string& path);

}  // namespace corvane::kernels
