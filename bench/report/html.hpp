// The HTML page of one or more results (html.cpp): the report of
// `corvane-bench report --html` and of a run's --html export.
#pragma once

#include <string>
#include <vector>

#include "bench/report/across_results.hpp"

namespace corvane::bench {

std::string html_report(const std::vector<named_result>& results,
                        const std::vector<named_kernels>& kernels = {});

}  // namespace corvane::bench
