#include "tools/kernels/command_line.hpp"

#include <algorithm>

#include <CLI/CLI.hpp>

#include "tools/kernels/system.hpp"

namespace corvane::kernels {

const char usage_text[] = R"(usage: corvane-kernels [OPTION]
Each summation kernel this processor supports beside the floors its order
allows, on one thread and on two: ns_per_term, and vs_floor against the
binding floor. scalar/strict and scalar/four_lane are the plain loops built
without vectorisation: the baseline of what SIMD buys.

  (none)             run the kernel benchmarks (Google Benchmark)
  --json FILE        run them and also write them to FILE as Google Benchmark
                     JSON (a regular file, not standard output)
  --plan             what a program would choose on this machine, and why
  --plan --repeat N  how often N fresh processes choose each kernel
                     (N from 1 to 1000)
  --verify           every term of every kernel against IEEE division
                     (exit 1 if any term differs)
  --version          the Corvane version
  --help             this text
)";

int parse_repeats(const std::string& text) {
    const std::string range = " is not a whole number from 1 to " + std::to_string(most_repeats);
    const bool digits = !text.empty() && text.size() <= 4 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int repeats = digits ? std::stoi(text) : 0;
    if (repeats < 1 || repeats > most_repeats) throw tool_error("--repeat: '" + text + "'" + range);
    return repeats;
}

std::optional<std::string> json_path_problem(const std::string& path) {
    if (path.empty()) return "--json needs a file";
    std::string why;
    const file_kind kind = kind_of_file(path, why);
    if (kind == file_kind::none) return std::nullopt;
    if (kind == file_kind::unknown) return "--json " + path + ": " + why;
    if (kind != file_kind::regular)
        return "--json " + path + " is not a regular file, where the JSON can be written and checked";
    if (is_standard_output(path))
        return "--json " + path +
               " is standard output, which carries the console table (--benchmark_format=json puts "
               "the JSON there instead)";
    return std::nullopt;
}

namespace {

summation_order order_named(const std::string& name) {
    if (name == "strict") return summation_order::strict;
    if (name == "four_lane") return summation_order::four_lane;
    throw tool_error("--plan-cold: no order named '" + name + "'");
}

}  // namespace

command parse_command_line(const std::vector<std::string>& arguments) {
    CLI::App app{"", "corvane-kernels"};
    app.set_help_flag();  // the usage text above, not CLI11's
    app.allow_extras();   // Google Benchmark's flags, checked below
    bool help = false, version = false, plan = false, verify = false;
    std::string repeats, json, cold_order;
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    app.add_flag("--verify", verify);
    CLI::Option* plan_flag = app.add_flag("--plan", plan);
    app.add_option("--repeat", repeats)->needs(plan_flag);
    app.add_option("--json", json);
    // What --plan --repeat starts: one process that plans one order, cold.
    app.add_option("--plan-cold", cold_order)->group("");
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        throw tool_error(e.what());
    }

    const auto given = [&app](const char* name) { return app.count(name) > 0; };
    int modes = 0;
    for (const char* mode : {"--help", "--version", "--verify", "--plan", "--plan-cold", "--json"}) {
        if (app.count(mode) > 1) throw tool_error(std::string(mode) + " is given twice");
        modes += given(mode) ? 1 : 0;
    }
    if (modes > 1)
        throw tool_error(
            "--help, --version, --verify, --plan and --json each go alone, but for --plan --repeat N");
    const bool benchmarks = modes == 0 || given("--json");
    const std::vector<std::string> extras = app.remaining();
    for (const std::string& extra : extras) {
        const bool benchmark_flag = extra.rfind("--benchmark_", 0) == 0;
        if (benchmarks && benchmark_flag) continue;
        if (benchmark_flag) throw tool_error("'" + extra + "' goes with the benchmarks only");
        throw tool_error(extra.rfind("-", 0) == 0 ? "unknown option '" + extra + "'"
                                                  : "unexpected argument '" + extra + "'");
    }

    command chosen;
    if (help) chosen.chosen = tool::help;
    if (version) chosen.chosen = tool::version;
    if (verify) chosen.chosen = tool::verify;
    if (plan) chosen.chosen = given("--repeat") ? tool::repeat_plan : tool::plan;
    if (given("--repeat")) chosen.repeats = parse_repeats(repeats);
    if (given("--plan-cold")) {
        chosen.chosen = tool::plan_cold;
        chosen.order = order_named(cold_order);
    }
    if (given("--json")) {
        if (const auto problem = json_path_problem(json)) throw tool_error(*problem);
        chosen.json_path = json;
    }
    chosen.benchmark_flags = extras;
    return chosen;
}

}  // namespace corvane::kernels
