// What the results were measured with and on, as text: the machine, the
// builds, the kernel plan, and the context as lines that the terminal, the
// Markdown report and the HTML page all take from one table (context_lines.cpp).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/model/model.hpp"

namespace corvane::bench {

// "2 packages, 32 cores, 2 PUs/core, 4 NUMA nodes" and "L1d 48K L2 1M L3 32M".
std::string shape_text(const topology& machine);
std::string caches_text(const topology& machine);
// The machine in one line: host, system, processor, shape, caches, clock.
std::string machine_text(const machine_identity& m);

// "Release, GNU 12.2.0, commit 14c4f35abc12, flags -O3 ..., kernel paths
// sse2 avx2 avx512", or "build unknown (why)".
std::string build_text(const program_build& build);

// The kernel each order chose: "strict sse2/divide, four-lane avx512/newton".
std::string plan_text(const std::map<std::string, order_plan>& plans);

// Where the context is shown: above the terminal's table (what this run is
// about to measure), or in the report across saved results (everything a
// file holds, to tell results apart).
enum class context_view { terminal, report };

// The context as (label, value) lines in the order shown. A field the
// context gains is one line in context_lines.cpp's table.
std::vector<context_line> context_lines(const run_context& context, context_view view);

// The terminal's context: "label: value" lines.
std::string context_text(const run_context& context);

}  // namespace corvane::bench
