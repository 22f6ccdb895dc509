// corvane-bench: runs the Corvane programs, validates every run and reports
// statistics and scaling. `corvane-bench compare OLD.json NEW.json` compares
// two results.
//
// Exit status: 0 every run valid; 1 some runs invalid (the results are
// still written); 2 a usage problem, nothing run; 3 results not written;
// 128 + N interrupted by signal N, nothing written.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "bench/exports.hpp"
#include "bench/report.hpp"
#include "bench/system.hpp"
#include "build_info.hpp"

using namespace corvane::bench;

namespace {

constexpr int usage_error = 2;
constexpr int not_written = 3;

int fail(const std::string& problem, int status = usage_error) {
    std::fprintf(stderr, "corvane-bench: %s\n", corvane::bench::printable(problem).c_str());
    return status;
}

int interrupted(int signo) {
    std::fprintf(stderr, "\ncorvane-bench: interrupted by signal %d; no results written\n", signo);
    return 128 + signo;
}

struct outputs {
    std::string json, csv, markdown, plot;

    // Placeholders for the checks before any run; the texts come later.
    std::vector<export_file> files() const {
        std::vector<export_file> list;
        if (!json.empty()) list.push_back({"--json", json, ""});
        if (!csv.empty()) list.push_back({"--csv", csv, ""});
        if (!markdown.empty()) list.push_back({"--markdown", markdown, ""});
        if (!plot.empty()) list.push_back({"--plot", plot, ""});
        return list;
    }
};

struct command_line {
    std::string threads, ranks, programs, mpiexec, hostfile;
    std::vector<std::string> env;
    outputs files;
};

std::string default_launcher() {
    if (*corvane::build_info::mpiexec) return corvane::build_info::mpiexec;
    return find_on_path("mpiexec");
}

// Every check that can fail before a single run is made.
std::string prepare(suite_options& options, std::optional<launcher>& mpi, const command_line& given,
                    int cpus) {
    options.threads =
        given.threads.empty() ? default_threads(cpus) : parse_counts(given.threads, "--threads");
    if (!(options.timeout_s > 0)) return "--timeout: give a number of seconds above 0";
    std::stringstream names(given.programs);
    for (std::string name; std::getline(names, name, ',');) {
        const program_info* info = find_program(name);
        if (info && info->distributed) return name + " runs through --ranks, not --programs";
        if (!info) {
            std::string known;
            for (const auto& p : known_programs())
                if (!p.distributed) known += (known.empty() ? "" : ", ") + std::string(p.name);
            return "unknown program '" + name + "' (known: " + known + ")";
        }
        options.programs.push_back(name);
    }
    if (options.programs.empty()) return "--programs: no program named";
    for (const auto& name : options.programs)
        if (access((options.bin_dir + "/" + name).c_str(), X_OK) != 0)
            return name + " not found in " + options.bin_dir +
                   " (build it, or name another --bin-dir or --programs)";
    for (const auto& entry : given.env) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) return "--env: '" + entry + "' is not NAME=VALUE";
        options.env.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    if (given.ranks.empty() && !given.hostfile.empty()) return "--hostfile goes with --ranks";
    if (given.ranks.empty() && !given.mpiexec.empty()) return "--mpiexec goes with --ranks";
    if (!given.ranks.empty()) {
        options.ranks = parse_counts(given.ranks, "--ranks");
        if (!given.hostfile.empty() && access(given.hostfile.c_str(), R_OK) != 0)
            return "--hostfile: cannot read " + given.hostfile;
        mpi = identify_launcher(given.mpiexec.empty() ? default_launcher() : given.mpiexec,
                                options.ranks.back(), cpus, given.hostfile);
        options.mpiexec = mpi->command;
        options.mpiexec_env = mpi->env;
        // Ranks on other machines see only what the launcher passes on.
        if (!mpi->forward_flag.empty()) {
            options.mpiexec.insert(options.mpiexec.end(), {mpi->forward_flag, "OMP_NUM_THREADS"});
            for (const auto& [name, value] : options.env)
                options.mpiexec.insert(options.mpiexec.end(), {mpi->forward_flag, name});
        }
        if (access((options.bin_dir + "/corvane-mpi").c_str(), X_OK) != 0)
            return "corvane-mpi not found in " + options.bin_dir + " (it is built where MPI is found)";
    }
    if (!given.files.plot.empty() && find_on_path("gnuplot").empty())
        return "--plot needs gnuplot (Debian package gnuplot-nox), which is not on PATH";
    return check_exports(given.files.files());
}

// Refuses cells whose team would not be the size they are labelled with.
std::string check_teams(const suite_options& options, const std::vector<cell>& cells,
                        std::vector<std::string>& warnings) {
    const std::string probe = own_directory() + "/corvane-team-probe";
    if (access(probe.c_str(), X_OK) != 0) {
        for (const auto& c : cells)
            if (c.threads) {
                warnings.push_back(
                    "team sizes are not checked: corvane-team-probe is not beside corvane-bench");
                break;
            }
        return "";
    }
    std::set<std::string> asked;
    for (const auto& c : cells) {
        if (!c.threads) continue;
        const environment env = cell_environment(options, c);
        std::string key;
        for (const auto& [name, value] : env) key += name + "=" + value + "\n";
        if (!asked.insert(key).second) continue;
        const std::string problem = team_problem(probe, env, *c.threads);
        if (!problem.empty()) return cell_label(c) + ": " + problem;
    }
    return "";
}

int compare(const std::string& old_path, const std::string& new_path, double min_effect_percent, bool strict,
            const std::string& markdown) {
    if (!(min_effect_percent >= 0)) return fail("--min-effect: give a percentage, 0 or more");
    std::vector<export_file> files;
    if (!markdown.empty()) files.push_back({"--markdown", markdown, ""});
    if (const std::string problem = check_exports(files); !problem.empty()) return fail(problem);
    comparison result;
    try {
        result = compare_results(read_result(old_path), read_result(new_path), min_effect_percent / 100.0);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    for (const auto& difference : result.context_differences)
        std::fprintf(stderr, "warning: not measured alike: %s\n", printable(difference).c_str());
    if (strict && !result.context_differences.empty())
        return fail("--strict: the two results were not measured alike");
    std::string notes;
    for (const auto& note : result.notes) notes += note + "\n";
    std::cout << terminal_table(result.rows) << notes << std::flush;
    if (!files.empty()) {
        files[0].text = markdown_table(result.rows) + "\n" + notes;
        if (const auto written = write_exports(files); !written.problem.empty())
            return fail("results not written: " + written.problem, not_written);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs the Corvane programs, validates every run and reports statistics and scaling.",
                 "corvane-bench"};
    suite_options options;
    options.bin_dir = own_directory();
    command_line given;
    given.programs = "corvane-serial,corvane-serial-simd,corvane-omp,corvane-omp-simd,corvane-autopar";
    std::uint64_t seed = std::random_device{}();
    app.add_option("--runs", options.runs, "counted runs per cell")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--warmup", options.warmup, "uncounted runs per cell first")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--timeout", options.timeout_s,
                   "seconds a run may take before it is ended and counted invalid")
        ->capture_default_str();
    app.add_option(
        "--threads", given.threads,
        "team sizes, e.g. 1,2,4 (default: 1, powers of two below the usable processors, their number)");
    app.add_option("--ranks", given.ranks, "also run corvane-mpi on these numbers of MPI ranks, e.g. 1,2");
    app.add_option("--mpiexec", given.mpiexec,
                   "the MPI launcher (default: the one corvane-mpi was built for)");
    app.add_option("--hostfile", given.hostfile,
                   "run the ranks on the machines this file lists (passed to the launcher)");
    app.add_option("--programs", given.programs, "programs to run, comma-separated")->capture_default_str();
    app.add_option("--env", given.env, "NAME=VALUE added to the programs' environment (repeatable)");
    app.add_option("--seed", seed, "seed of the run order (default: random, recorded)");
    app.add_option("--bin-dir", options.bin_dir, "where the programs are (default: beside corvane-bench)");
    app.add_option("--json", given.files.json, "write the results as JSON (- for standard output)");
    app.add_option("--csv", given.files.csv, "write every run as CSV (- for standard output)");
    app.add_option("--markdown", given.files.markdown, "write the table as Markdown (- for standard output)");
    app.add_option("--plot", given.files.plot, "draw speedup against threads as SVG (needs gnuplot)");
    auto* compare_command =
        app.add_subcommand("compare", "compare two JSON results: corvane-bench compare OLD NEW");
    std::string old_path, new_path, compare_markdown;
    double min_effect = 1.0;
    bool strict = false;
    compare_command->add_option("old", old_path, "the earlier result")->required();
    compare_command->add_option("new", new_path, "the later result")->required();
    compare_command
        ->add_option("--min-effect", min_effect, "smallest change in percent called faster or slower")
        ->capture_default_str();
    compare_command->add_flag("--strict", strict, "exit 2 when the results were not measured alike");
    compare_command->add_option("--markdown", compare_markdown, "also write the table as Markdown");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return fail(e.what());
    }
    if (*compare_command) return compare(old_path, new_path, min_effect, strict, compare_markdown);

    corvane::process::catch_interrupts();
    options.seed = seed;
    const int cpus = usable_cpus();
    std::optional<launcher> mpi;
    std::vector<cell> cells;
    std::vector<std::string> warnings;
    try {
        std::string problem = prepare(options, mpi, given, cpus);
        if (problem.empty()) {
            cells = make_cells(options);
            problem = check_teams(options, cells, warnings);
        }
        if (!problem.empty()) return fail(problem);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (const int signo = corvane::process::interrupted_by()) return interrupted(signo);

    std::vector<export_file> files = given.files.files();
    const auto system = system_warnings(cpus, options.runs, !given.files.json.empty());
    warnings.insert(warnings.begin(), system.begin(), system.end());
    const auto context = context_of(options, cpus, warnings, mpi, given.hostfile);
    // With an export on standard output, the table goes to standard error.
    std::FILE* table_out = any_to_stdout(files) ? stderr : stdout;
    std::fprintf(table_out, "%s%s\n", context_text(context, options.seed).c_str(),
                 warnings_text(warnings).c_str());
    std::fflush(table_out);

    const bool show_progress = isatty(STDERR_FILENO);
    const int signo = run_suite(options, cells, [show_progress](const std::string& note) {
        if (show_progress) std::fprintf(stderr, "\r\033[K%s", note.c_str());
    });
    if (show_progress) std::fprintf(stderr, "\r\033[K");
    if (signo) return interrupted(signo);

    const auto results = evaluate(cells);
    const table rows = result_rows(cells, results);
    std::fprintf(table_out, "%s%s", terminal_table(rows).c_str(), invalid_runs_text(cells).c_str());
    std::fflush(table_out);

    try {
        for (auto& file : files) {
            if (file.option == "--json")
                file.text = to_json(options.seed, context, cells, results)
                                .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                            "\n";
            if (file.option == "--csv") file.text = csv_rows(cells);
            if (file.option == "--markdown") file.text = markdown_table(rows);
            if (file.option == "--plot")
                file.text = render_svg(find_on_path("gnuplot"), plot_script(cells, results));
        }
    } catch (const std::exception& e) {
        return fail(std::string("results not written: ") + e.what(), not_written);
    }
    if (const int late = corvane::process::interrupted_by()) return interrupted(late);
    const auto written = write_exports(files);
    if (written.interrupted_by) return interrupted(written.interrupted_by);
    if (!written.problem.empty()) return fail("results not written: " + written.problem, not_written);
    for (const auto& r : results)
        if (r.invalid_runs > 0) return 1;
    return 0;
}
