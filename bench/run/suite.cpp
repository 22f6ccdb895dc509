#include "bench/run/suite.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>

#include "bench/base/error.hpp"
#include "bench/base/text.hpp"
#include "bench/launch/launchers.hpp"
#include "bench/run/progress.hpp"
#include "core/report_lines.hpp"

namespace corvane::bench {

namespace {

// The first line the program wrote on standard error, as a hint.
std::string first_error_line(const std::string& err) {
    const auto lines = process::lines_of(err);
    if (lines.empty() || lines[0].empty()) return "";
    return ": " + printable(lines[0].substr(0, 200));
}

// Why the run is invalid, or an empty string; a valid run's time in reported.
std::string why_invalid(const process::program_run& run, double timeout_s, double& reported_s) {
    if (!run.failure.empty()) return printable(run.failure);
    if (run.timed_out) return "timed out after " + formatted("%g s", timeout_s);
    if (run.interrupted_by) return "interrupted by signal " + std::to_string(run.interrupted_by);
    if (run.signal != 0) return "killed by signal " + std::to_string(run.signal) + first_error_line(run.err);
    if (run.exit_status != 0)
        return "exit status " + std::to_string(run.exit_status) + first_error_line(run.err);
    if (run.left_behind > 0)
        return "left " + std::to_string(run.left_behind) +
               " process(es) running after it exited, which competed with the runs; they were ended";
    // Without a PID namespace the runner's own clock times the run, and a stop
    // of the runner (kill -STOP, a suspended shell) lengthens it.
    if (run.caller_stopped)
        return "corvane-bench was stopped during the run: its wall time includes the stop";
    // Past its timeout the run is invalid even where it exited before the
    // timer ended it (a timeout of a millisecond).
    if (timeout_s > 0 && run.wall_seconds > timeout_s)
        return "ran " + formatted("%.3f s", run.wall_seconds) + ", past its timeout of " +
               formatted("%.3f s", timeout_s);
    if (run.out_truncated || run.out.size() > longest_report_bytes)
        return "output too long: " + std::to_string(run.out.size()) +
               " bytes, where a report is two short lines";
    if (run.err_truncated)
        return "standard error too long: more than " + std::to_string(run.err.size()) +
               " bytes, where the programs write none" + first_error_line(run.err);
    const auto lines = process::lines_of(run.out);
    if (lines.size() != 2 || run.out.empty() || run.out.back() != '\n')
        return "expected two lines, got " + std::to_string(lines.size()) +
               (run.out.empty() || run.out.back() == '\n' ? "" : " (no final newline)");
    if (lines[0] != expected_value_line()) return "wrong value line: " + printable(lines[0]);
    const std::optional<double> reported = parse_time_line(lines[1]);
    if (!reported) return "malformed time line: " + printable(lines[1]);
    if (*reported <= 0.0) return "reported 0 s: the program's clock did not advance";
    // The programs' clock counts whole milliseconds, printed with six
    // decimals (the number holds the line's first point): a time between
    // them was not measured by it, and the tick statistics would misread it.
    if (lines[1].compare(lines[1].find('.') + 4, 3, "000") != 0)
        return "reported " + fixed(*reported, 6) +
               " s: not whole milliseconds, which the programs' clock counts";
    // The program's clock may round up to the next tick, never further.
    if (*reported > run.wall_seconds + clock_tick_s)
        return "reported " + formatted("%.3f s", *reported) + ", longer than the process lived (" +
               formatted("%.3f s", run.wall_seconds) + ")";
    reported_s = *reported;
    return "";
}

}  // namespace

std::string validate(const process::program_run& run, double timeout_s) {
    double reported_s = 0;
    return why_invalid(run, timeout_s, reported_s);
}

sample sample_of(const process::program_run& run, double timeout_s) {
    sample s;
    s.reason = why_invalid(run, timeout_s, s.reported_s);
    s.valid = s.reason.empty();
    s.wall_s = run.wall_seconds;
    s.user_s = run.user_seconds;
    s.system_s = run.system_seconds;
    s.involuntary_switches = run.involuntary_switches;
    return s;
}

std::vector<cell> make_cells(const suite_options& options) {
    std::vector<cell> cells;
    for (const auto& name : options.programs) {
        if (!find_program(name)->parallel) {
            cells.push_back({name, std::nullopt, std::nullopt, {}, {}});
            continue;
        }
        for (int t : options.threads) cells.push_back({name, std::nullopt, t, {}, {}});
    }
    for (int r : options.ranks)
        for (int t : options.threads) cells.push_back({"corvane-mpi", r, t, {}, {}});
    return cells;
}

environment cell_environment(const suite_options& options, const cell& c) {
    environment env = options.env;
    if (c.ranks) env.insert(env.end(), options.mpiexec_env.begin(), options.mpiexec_env.end());
    if (c.threads) {
        env.emplace_back("OMP_NUM_THREADS", std::to_string(*c.threads));
        const environment placed = placement_environment(options.bind, options.machine, *c.threads);
        env.insert(env.end(), placed.begin(), placed.end());
    }
    return env;
}

void stop_if_interrupted() {
    if (const int signo = process::interrupted_by()) throw interrupted{signo};
}

int run_suite(const suite_options& options, std::vector<cell>& cells, const program_runner& run_program,
              const std::function<void(const std::string&)>& progress) {
    std::mt19937_64 random(options.seed);
    std::vector<std::size_t> order(cells.size());
    const int rounds = options.warmup + options.runs;
    int done = 0;
    std::vector<std::vector<double>> wall_s(cells.size());  // every run's, warm-ups too, for the ETA
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), random);
        const bool warming = round < options.warmup;
        for (std::size_t index : order) {
            cell& c = cells[index];
            if (progress) {
                std::ostringstream note;
                note << "[" << ++done << "/" << rounds * static_cast<int>(cells.size()) << "] "
                     << cell_label(c)
                     << (warming ? ": warm-up " + std::to_string(round + 1) + " of " +
                                       std::to_string(options.warmup)
                                 : ": run " + std::to_string(round - options.warmup + 1) + " of " +
                                       std::to_string(options.runs));
                const std::string eta = eta_text(remaining_estimate_s(wall_s, rounds, options.timeout_s));
                if (!eta.empty()) note << ", " << eta;
                progress(note.str());
            }
            const std::string path = options.bin_dir + "/" + c.program;
            auto command = c.ranks ? options.mpiexec : std::vector<std::string>{path};
            if (c.ranks) {
                // The placement depends on the cell's team, so it comes per cell, first.
                const auto placed =
                    launcher_binding(options.mpi_implementation, options.bind, c.threads.value_or(1));
                command.insert(command.begin() + 1, placed.begin(), placed.end());
                command.insert(command.end(), {"-n", std::to_string(*c.ranks), path});
            }
            process::run_options run_options;
            run_options.env = cell_environment(options, c);
            run_options.timeout_s = options.timeout_s;
            run_options.kept_bytes = kept_output_bytes;
            const auto run = run_program(command, run_options);
            if (run.interrupted_by) return run.interrupted_by;
            wall_s[index].push_back(run.wall_seconds);
            (warming ? c.warmups : c.samples).push_back(sample_of(run, options.timeout_s));
        }
    }
    return process::interrupted_by();
}

}  // namespace corvane::bench
