// corvane-bench: runs the Corvane programs, validates every run and reports
// statistics and scaling. `corvane-bench compare OLD.json NEW.json` compares
// two results.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <CLI/CLI.hpp>

#include "harness.hpp"

using namespace corvane::bench;

namespace {

constexpr int usage_error = 2;

int fail(const std::string& problem) {
    std::fprintf(stderr, "corvane-bench: %s\n", problem.c_str());
    return usage_error;
}

std::string own_directory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string exe(path, static_cast<std::size_t>(length));
    return exe.substr(0, exe.find_last_of('/'));
}

struct outputs {
    std::string json, csv, markdown, plot;
};

// Every check that can fail before a single run is made.
std::string prepare(suite_options& options, const std::string& threads, const std::string& ranks,
                    const std::string& programs, const std::vector<std::string>& env, const outputs& files) {
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    options.threads = threads.empty() ? default_threads(cores) : parse_counts(threads, "--threads");
    std::stringstream names(programs);
    options.programs.clear();
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
            return name + " not found in " + options.bin_dir + " (build it, or name another --bin-dir or --programs)";
    for (const auto& entry : env) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) return "--env: '" + entry + "' is not NAME=VALUE";
        options.env.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    if (!ranks.empty()) {
        options.ranks = parse_counts(ranks, "--ranks");
        const launcher mpiexec = find_mpiexec(options.ranks.back(), cores);
        if (mpiexec.command.empty()) return "--ranks needs mpiexec (Debian package openmpi-bin), which is not on PATH";
        options.mpiexec = mpiexec.command;
        if (access((options.bin_dir + "/corvane-mpi").c_str(), X_OK) != 0)
            return "corvane-mpi not found in " + options.bin_dir + " (it is built where MPI is found)";
        // Open MPI refuses to start as root unless told twice; asking for
        // --ranks as root is telling it, and the context records it.
        if (mpiexec.open_mpi && geteuid() == 0)
            for (const char* name : {"OMPI_ALLOW_RUN_AS_ROOT", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"})
                if (!std::getenv(name)) options.env.emplace_back(name, "1");
    }
    if (!files.plot.empty() && find_on_path("gnuplot").empty())
        return "--plot needs gnuplot (Debian package gnuplot-nox), which is not on PATH";
    for (const auto& path : {files.json, files.csv, files.markdown, files.plot})
        if (!path.empty()) check_writable(path);
    return "";
}

void write_plot(const std::string& path, const std::vector<cell>& cells, const std::vector<cell_result>& results) {
    const std::string temporary = path + ".tmp.svg";
    FILE* gnuplot = popen("gnuplot", "w");
    if (!gnuplot) throw std::runtime_error("cannot start gnuplot");
    const std::string script = plot_script(cells, results, temporary);
    std::fwrite(script.data(), 1, script.size(), gnuplot);
    if (pclose(gnuplot) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw std::runtime_error("gnuplot could not draw " + path);
    }
}

int compare(const std::string& old_path, const std::string& new_path) {
    try {
        const auto old_result = read_result(old_path);
        const auto new_result = read_result(new_path);
        std::cout << compare_text(old_result, new_result);
        return 0;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs the Corvane programs, validates every run and reports statistics and scaling.",
                 "corvane-bench"};
    suite_options options;
    options.bin_dir = own_directory();
    std::string threads, ranks, programs = "corvane-serial,corvane-serial-simd,corvane-omp,corvane-omp-simd,corvane-autopar";
    std::vector<std::string> env;
    outputs files;
    std::uint64_t seed = std::random_device{}();
    app.add_option("--runs", options.runs, "counted runs per cell")->check(CLI::PositiveNumber)->capture_default_str();
    app.add_option("--warmup", options.warmup, "uncounted runs per cell first")->check(CLI::NonNegativeNumber)->capture_default_str();
    app.add_option("--threads", threads, "team sizes, e.g. 1,2,4 (default: 1, powers of two below the cores, the cores)");
    app.add_option("--ranks", ranks, "also run corvane-mpi on these numbers of MPI ranks, e.g. 1,2 (needs mpiexec)");
    app.add_option("--programs", programs, "programs to run, comma-separated")->capture_default_str();
    app.add_option("--env", env, "NAME=VALUE added to the programs' environment (repeatable)");
    app.add_option("--seed", seed, "seed of the run order (default: random, recorded)");
    app.add_option("--bin-dir", options.bin_dir, "where the programs are (default: beside corvane-bench)");
    app.add_option("--json", files.json, "write the results as JSON");
    app.add_option("--csv", files.csv, "write every run as CSV");
    app.add_option("--markdown", files.markdown, "write the table as Markdown");
    app.add_option("--plot", files.plot, "draw speedup against threads as SVG (needs gnuplot)");
    auto* compare_command = app.add_subcommand("compare", "compare two JSON results: corvane-bench compare OLD NEW");
    std::string old_path, new_path;
    compare_command->add_option("old", old_path, "the earlier result")->required();
    compare_command->add_option("new", new_path, "the later result")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return fail(e.what());
    }
    if (*compare_command) return compare(old_path, new_path);

    options.seed = seed;
    try {
        const std::string problem = prepare(options, threads, ranks, programs, env, files);
        if (!problem.empty()) return fail(problem);
    } catch (const std::exception& e) {
        return fail(e.what());
    }

    const auto context = context_of(options);
    std::cout << context_text(context, options.seed) << "\n" << std::flush;
    auto cells = make_cells(options);
    const bool show_progress = isatty(STDERR_FILENO);
    run_suite(options, cells, [show_progress](const std::string& note) {
        if (show_progress) std::fprintf(stderr, "\r\033[K%s", note.c_str());
    });
    if (show_progress) std::fprintf(stderr, "\r\033[K");

    const auto results = evaluate(cells);
    std::cout << terminal_table(cells, results) << invalid_runs_text(cells);
    try {
        if (!files.json.empty()) write_whole(files.json, to_json(options, context, cells, results).dump(2) + "\n");
        if (!files.csv.empty()) write_whole(files.csv, csv_rows(cells));
        if (!files.markdown.empty()) write_whole(files.markdown, markdown_table(cells, results));
        if (!files.plot.empty()) write_plot(files.plot, cells, results);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    for (const auto& r : results)
        if (r.invalid_runs > 0) return 1;
    return 0;
}
