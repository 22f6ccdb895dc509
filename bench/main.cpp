// corvane-bench: runs the Corvane programs, validates every run and reports
// statistics and scaling. `corvane-bench compare OLD.json NEW.json` compares
// two results; `corvane-bench report A.json B.json... --html report.html`
// puts any number side by side.
//
// Exit status: 0 every run valid; 1 some runs invalid or a cell without a
// valid run (the results are still written); 2 a usage problem, nothing
// run; 3 results not written (or corvane-kernels failed, for --kernels,
// before any run); 4 compare --fail-on-slower found a cell, or all cells
// together, significantly slower; 5 compare --fail-on-slower found runs
// lost in the new result (a cell missing, or with an invalid run: a hang,
// a crash, a wrong value); 128 + N interrupted by signal N, nothing written.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench/base/error.hpp"
#include "bench/cli/command_line.hpp"
#include "bench/cli/prepare.hpp"
#include "bench/compare/compare.hpp"
#include "bench/compare/result_file.hpp"
#include "bench/launch/launch.hpp"
#include "bench/report/across_results.hpp"
#include "bench/report/comparison.hpp"
#include "bench/report/context_lines.hpp"
#include "bench/report/formats.hpp"
#include "bench/run/contention.hpp"
#include "bench/run/context.hpp"
#include "bench/run/evaluate.hpp"
#include "bench/run/kernel_figures.hpp"
#include "bench/run/progress.hpp"
#include "bench/write/file_commit.hpp"
#include "bench/write/output.hpp"

using namespace corvane::bench;

namespace {

// Text for a person: a failed write to it is a failed run of the harness.
void show(std::FILE* to, const std::string& text) {
    errno = to == stdout && was_closed_at_start(STDOUT_FILENO) ? EBADF : 0;
    if (errno != 0 || std::fputs(text.c_str(), to) < 0 || std::fflush(to) != 0 || std::ferror(to))
        throw bench_error(std::string("cannot write to ") +
                              (to == stdout ? "standard output" : "standard error") + ": " +
                              (errno ? std::strerror(errno) : "write error"),
                          not_written);
}

int compare(const compare_request& request) {
    const std::vector<export_request> exports = {{export_format::markdown, request.markdown}};
    if (request.markdown_given) {
        check_export_paths(exports, {request.old_path, request.new_path});
        if (request.json && exports_to_stdout(exports))
            throw bench_error("--markdown " + request.markdown + ": --json already goes to standard output");
    }
    const comparison result = compare_results(read_result(request.old_path), read_result(request.new_path),
                                              request.min_effect_percent / 100.0);
    for (const auto& difference : result.context_differences)
        std::fprintf(stderr, "warning: not measured alike: %s\n", printable(difference).c_str());
    if (request.strict && !result.context_differences.empty())
        throw bench_error("--strict: the two results were not measured alike");
    // The table, its notes, the warnings and the exit status: one verdict.
    // Notes may quote a result file (a reason, a program's name): each
    // format's own filter applies.
    std::string notes, markdown_notes;
    for (const auto& note : messages_of(result, severity::note)) {
        notes += printable(note) + "\n";
        markdown_notes += markdown_text(note) + "\n";
    }
    show(stderr, warnings_text(messages_of(result, severity::warning)));
    show(request.json ? stderr : stdout, terminal_table(comparison_table(result)) + notes);
    if (request.json) show(stdout, comparison_json(result));
    if (request.markdown_given)
        write_texts(exports, {markdown_table(comparison_table(result)) + "\n" + markdown_notes});
    if (!request.fail_on_slower) return 0;
    const int status = gate_exit_status(result.verdict);
    if (status != 0)
        std::fprintf(stderr, "corvane-bench: %s\n", printable(gate_failure(result.verdict)).c_str());
    return status;
}

int report(const report_request& request) {
    std::vector<std::string> inputs = request.inputs;
    inputs.insert(inputs.end(), request.kernels_inputs.begin(), request.kernels_inputs.end());
    check_export_paths(request.exports, inputs);
    std::vector<named_result> results;
    for (const auto& path : request.inputs) results.push_back({path, read_result(path)});
    std::vector<named_kernels> kernels;
    for (const auto& path : request.kernels_inputs)
        kernels.push_back({path, read_kernel_figures(read_result_file(path), path)});
    std::vector<std::string> texts;
    // The command line offers only the formats that have a report renderer.
    for (const auto& e : request.exports) texts.push_back(format_of(e.format).of_results(results, kernels));
    write_texts(request.exports, texts);
    return 0;
}

// What the runs showed that makes their figures doubtful: contended
// cells, and cells too short for the programs' clock.
std::vector<std::string> measured_warnings(const std::vector<cell>& cells) {
    std::vector<std::string> warnings = contention_warnings(cells);
    const auto short_cells = tick_warnings(cells);
    warnings.insert(warnings.end(), short_cells.begin(), short_cells.end());
    return warnings;
}

// corvane-kernels first, where asked for (one that fails costs no hours of
// runs), then the suite; then the statistics and the judgements on them.
void measure(const prepared_suite& suite, suite_result& result) {
    if (!suite.kernels_program.empty()) {
        show_progress("corvane-kernels: every kernel against its floors (a minute or two)");
        result.kernels = measure_kernels(suite.kernels_program, run_command);
        clear_progress();
        stop_if_interrupted();
    }
    // Under a scheduler the runner also records each step and ends the steps a run leaves.
    const program_runner runner = launcher_runner(result.context, suite.mpi);
    run_suite(suite.options, result.cells, runner, show_progress);
    clear_progress();
    stop_if_interrupted();
    evaluate(result.cells);
    // Known only now, and still before the figures they are about.
    const auto judged = measured_warnings(result.cells);
    result.context.warnings.insert(result.context.warnings.end(), judged.begin(), judged.end());
}

// The warnings the runs themselves gave, the table and its notes, the
// invalid runs, and corvane-kernels' figures.
std::string results_text(const suite_result& result, bool wide) {
    const std::string table = wide ? terminal_table(result_rows(result.cells))
                                   : terminal_table(result_rows(result.cells, false), terminal_width);
    std::string text = warnings_text(measured_warnings(result.cells)) + table +
                       table_footnotes(result.cells, wide) + invalid_runs_text(result.cells);
    for (const auto& [label, value] : result.context.launcher_steps) text += label + ": " + value + "\n";
    if (!result.kernels.empty())
        text += "\ncorvane-kernels, on this machine:\n" + terminal_table(kernel_rows(result.kernels));
    return text;
}

int run(const command_line& given) {
    corvane::process::catch_interrupts();
    const prepared_suite suite = prepare(given);
    stop_if_interrupted();
    suite_result result{
        context_of(suite.options, suite.machine, suite.warnings, suite.mpi, given.hostfile), suite.cells, {}};
    record_launcher(result.context, suite.mpi, result.cells);
    std::FILE* table_out = exports_to_stdout(given.exports) ? stderr : stdout;
    show(table_out, context_text(result.context) + warnings_text(result.context.warnings) + "\n");
    measure(suite, result);
    show(table_out, results_text(result, given.wide));
    stop_if_interrupted();
    write_results(given.exports, result);
    const bool all_valid = std::all_of(result.cells.begin(), result.cells.end(), [](const cell& c) {
        return c.statistics.invalid_runs == 0 && c.statistics.invalid_warmups == 0 &&
               c.statistics.valid_runs > 0;
    });
    return all_valid ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output is noted before it is filled with /dev/null,
    // which keeps later pipes off descriptors 0-2: the table is still lost.
    note_closed_standard_descriptors();
    corvane::process::guard_standard_descriptors();
    try {
        const auto given = parse_command_line(argc, argv);
        if (!given) {  // --help or --version, shown: they too must reach standard output
            show(stdout, "");
            return 0;
        }
        if (given->report) return report(*given->report);
        return given->compare ? compare(*given->compare) : run(*given);
    } catch (const interrupted& stop) {
        clear_progress();
        std::fprintf(stderr, "\ncorvane-bench: interrupted by signal %d; no results written\n", stop.signo);
        return 128 + stop.signo;
    } catch (const bench_error& e) {
        std::fprintf(stderr, "corvane-bench: %s\n", printable(e.what()).c_str());
        return e.status;
    }
}
