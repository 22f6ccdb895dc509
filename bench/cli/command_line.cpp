#include "bench/cli/command_line.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <random>

#include <CLI/CLI.hpp>

#include "bench/base/error.hpp"
#include "bench/compare/gate.hpp"
#include "bench/launch/launch.hpp"
#include "bench/machine/helper_programs.hpp"
#include "bench/write/output.hpp"
#include "build_info.hpp"

namespace corvane::bench {

namespace {

const char* const all_programs =
    "corvane-serial,corvane-serial-simd,corvane-omp,corvane-omp-simd,corvane-autopar";

std::uint64_t parse_seed(const std::string& text) {
    if (text.empty()) return std::random_device{}();
    const bool digits = text.size() <= 20 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    errno = 0;
    const unsigned long long seed = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (!digits || errno == ERANGE)
        throw bench_error("--seed: '" + text + "' is not a whole number from 0 to 18446744073709551615");
    return seed;
}

// An empty value is what an unset variable gives (--json "$OUT"): it never
// stands for a default, a current directory or no export.
void refuse_empty_values(const CLI::App& app) {
    for (const CLI::Option* option : app.get_options())
        for (const auto& value : option->results())
            if (value.empty())
                throw bench_error(option->get_name() + ": an empty value (an unset variable?)");
    for (const CLI::App* sub : app.get_subcommands()) refuse_empty_values(*sub);
}

}  // namespace

std::optional<command_line> parse_command_line(int argc, char** argv) {
    CLI::App app{"Runs the Corvane programs, validates every run and reports statistics and scaling.",
                 "corvane-bench"};
    command_line given;
    suite_options& options = given.options;
    options.bin_dir = own_directory();
    given.programs = all_programs;
    std::string paths[std::size(export_formats)];
    app.add_option("--runs", options.runs, "counted runs per cell (1 to 1000)")->capture_default_str();
    app.add_option("--warmup", options.warmup, "uncounted runs per cell first (0 to 100)")
        ->capture_default_str();
    app.add_option("--timeout", options.timeout_s,
                   "seconds a run may take before it is ended and counted invalid")
        ->capture_default_str();
    app.add_option(
        "--threads", given.threads,
        "team sizes, e.g. 1,2,4,cores,pus (default: 1, powers of two below the usable cores, their number, "
        "and every usable processing unit where cores have several)");
    app.add_option("--bind", given.bind,
                   "none, close or spread: where OpenMP threads and MPI ranks are placed (default none: "
                   "wherever the system puts them)");
    app.add_option("--ranks", given.ranks, "also run corvane-mpi on these numbers of MPI ranks, e.g. 1,2");
    app.add_option("--launcher", given.launcher, launcher_option_help())->capture_default_str();
    app.add_option("--mpiexec", given.mpiexec,
                   "the MPI launcher for --launcher mpiexec, which it implies (default: the one "
                   "corvane-mpi was built for)");
    app.add_option("--hostfile", given.hostfile,
                   "run the ranks on the machines this file lists (passed to the launcher)");
    app.add_option("--programs", given.programs, "programs to run, comma-separated")->capture_default_str();
    app.add_option("--env", given.env, "NAME=VALUE added to the programs' environment (repeatable)");
    app.add_option("--seed", given.seed, "seed of the run order (default: random, recorded)");
    app.add_option("--bin-dir", options.bin_dir, "where the programs are (default: beside corvane-bench)");
    app.add_flag("--kernels", given.kernels,
                 "also run corvane-kernels first and keep its figures (ns per term, against the floors)");
    app.add_flag("--wide", given.wide, "show every column of the table, not only those that fit 100 columns");
    app.set_version_flag("--version", std::string("corvane-bench ") + build_info::version + " (commit " +
                                          build_info::commit + ")");
    for (std::size_t i = 0; i < std::size(export_formats); ++i)
        app.add_option(option_of(export_formats[i]), paths[i], help_of(export_formats[i]));
    auto* compare = app.add_subcommand("compare", "compare two JSON results: corvane-bench compare OLD NEW");
    compare_request request;
    compare->add_option("old", request.old_path, "the earlier result")->required();
    compare->add_option("new", request.new_path, "the later result")->required();
    compare
        ->add_option("--min-effect", request.min_effect_percent,
                     "smallest change in percent called faster or slower")
        ->capture_default_str();
    compare->add_flag("--strict", request.strict, "exit 2 when the results were not measured alike");
    auto* compare_markdown =
        compare->add_option("--markdown", request.markdown, "also write the table as Markdown");
    compare->add_flag("--fail-on-slower", request.fail_on_slower,
                      "exit " + std::to_string(slower_found) +
                          " when a cell, or all cells together, is significantly slower, and " +
                          std::to_string(runs_lost) + " when a cell of OLD lost runs in NEW");
    compare->add_flag("--json", request.json,
                      "print the comparison as JSON on standard output (the table goes to standard error)");
    auto* report = app.add_subcommand(
        "report", "saved results side by side: corvane-bench report A.json B.json... --html report.html");
    report_request reported;
    std::string report_html, report_markdown;
    report->add_option("results", reported.inputs, "JSON results, each written by --json")->required();
    // One file per --kernels, so that results may follow it.
    report
        ->add_option("--kernels", reported.kernels_inputs,
                     "corvane-kernels --json FILE (Google Benchmark JSON) for what SIMD buys (repeatable)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    report->add_option("--html", report_html, "write one self-contained HTML page (- for standard output)");
    report->add_option("--markdown", report_markdown,
                       "write the tables as Markdown (- for standard output; the default)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help or --version, shown
        app.exit(e);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        throw bench_error(e.what());
    }
    refuse_empty_values(app);
    if (*compare) {
        request.markdown_given = compare_markdown->count() > 0;
        if (!(request.min_effect_percent >= 0) || !std::isfinite(request.min_effect_percent))
            throw bench_error("--min-effect: give a percentage, 0 or more");
        given.compare = request;
        return given;
    }
    if (*report) {
        if (!report_html.empty()) reported.exports.push_back({export_format::html, report_html});
        if (!report_markdown.empty() || report_html.empty())
            reported.exports.push_back(
                {export_format::markdown, report_markdown.empty() ? "-" : report_markdown});
        given.report = reported;
        return given;
    }
    for (std::size_t i = 0; i < std::size(export_formats); ++i)
        if (!paths[i].empty()) given.exports.push_back({export_formats[i], paths[i]});
    options.seed = parse_seed(given.seed);
    return given;
}

}  // namespace corvane::bench
