// corvane-kernels: each summation kernel next to the floors its order allows,
// measured in the same run, on one thread and on two.
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
//
// corvane-kernels --plan             what a program would choose here, and why
// corvane-kernels --plan --repeat N  how often N fresh processes choose each kernel
// corvane-kernels --verify           every term of every kernel against IEEE division
// corvane-kernels --json FILE        the benchmarks, also written to FILE as JSON
#include <benchmark/benchmark.h>
#include <omp.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/corvane.hpp"
#include "core/kernels.hpp"
#include "tools/kernels/plain_loops.hpp"
#include "tools/kernels/scalar_loops.hpp"
#include "tools/kernels/term_check.hpp"

using namespace corvane;

namespace {

constexpr std::int32_t terms_per_iteration = 1 << 24;

using range_sum = std::function<double(std::int32_t first, std::int32_t count)>;

// Floors measured so far in this run, by name; kernels are registered after
// the floors they are compared with, and Google Benchmark runs in order.
std::map<std::string, double> floor_ns;

double addition_chain(std::int32_t first, std::int32_t count) {
    double sum = 0.0;
    const double increment = step * first;  // not a constant the compiler can fold
    for (std::int32_t k = 0; k < count; ++k) sum += increment;
    return sum;
}

// Two-wide vectors, native on every x86-64 processor: a four-wide one would
// be split by the compiler, sometimes through memory, and measure that.
typedef double two_wide __attribute__((vector_size(16)));

double four_lane_chain(std::int32_t first, std::int32_t count) {
    two_wide low = {}, high = two_wide{} + 1.0;  // L0 L1, L2 L3: distinct, so not merged
    const two_wide increment = two_wide{} + step * first;
    for (std::int32_t k = 0; k < count / 8; ++k) {
        low += increment;
        high += increment;
        low += increment;
        high += increment;
    }
    return (low[0] + high[0]) + (low[1] + high[1]);
}

// The fastest exact evaluation measured so far on this many threads.
double fastest_evaluation(const std::string& threads) {
    double fastest = 0.0;
    for (const auto& [name, ns] : floor_ns)
        if (name.rfind("evaluation/", 0) == 0 && name.size() > threads.size() &&
            name.compare(name.size() - threads.size(), threads.size(), threads) == 0)
            fastest = fastest == 0.0 ? ns : std::min(fastest, ns);
    return fastest;
}

// One parallel region per iteration, each thread summing its static block,
// as the OpenMP programs do.
// floor_name: the floor to compare with; "four_lane" compares with both of
// that order's floors.
void measure(benchmark::State& state, const range_sum& body, int threads, const std::string& floor_name,
             const std::string& record_as) {
    double elapsed = 0.0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        double total = 0.0;
#pragma omp parallel num_threads(threads) reduction(+ : total)
        {
            const block mine =
                static_block(1000, terms_per_iteration, omp_get_num_threads(), omp_get_thread_num());
            total += body(mine.first, mine.count);
        }
        benchmark::DoNotOptimize(total);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.SetIterationTime(seconds);
        elapsed += seconds;
    }
    const double ns = elapsed * 1e9 / (static_cast<double>(state.iterations()) * terms_per_iteration);
    state.counters["ns_per_term"] = ns;
    const std::string t = "/" + std::to_string(threads);
    if (!record_as.empty()) floor_ns[record_as + t] = ns;
    // A floor left out by --benchmark_filter gives no counter, not infinity.
    if (floor_name == "four_lane") {
        const auto chain = floor_ns.find("four_lane_chain" + t);
        const double evaluation = fastest_evaluation(t);
        if (chain != floor_ns.end()) state.counters["vs_chain"] = ns / chain->second;
        if (evaluation > 0.0) state.counters["vs_evaluation"] = ns / evaluation;
        if (chain != floor_ns.end() && evaluation > 0.0)
            state.counters["vs_floor"] = ns / std::max(chain->second, evaluation);
    } else if (floor_ns.count(floor_name + t)) {
        state.counters["vs_floor"] = ns / floor_ns[floor_name + t];
    }
}

void add(const std::string& name, range_sum body, int threads, const std::string& floor_name,
         const std::string& record_as = "") {
    benchmark::RegisterBenchmark(
        (name + "/threads:" + std::to_string(threads)).c_str(),
        [=](benchmark::State& state) { measure(state, body, threads, floor_name, record_as); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// The process's processor time: what the plan's budget counts, since a
// busy machine may stop the process for whole time slices while it plans.
double processor_ms() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

int print_plan() {
    for (summation_order order : {summation_order::strict, summation_order::four_lane}) {
        const double processor_before = processor_ms();
        const kernel_plan plan = measure_plan(order);
        std::printf("%s order, measured in %.2f ms (%.2f ms of processor time):\n", order_name(order),
                    plan.planning_ms, processor_ms() - processor_before);
        for (std::size_t i = 0; i < plan.candidates.size(); ++i)
            std::printf("  %-14s %.3f ns/term%s\n", kernel_name(*plan.candidates[i].k).c_str(),
                        plan.candidates[i].ns_per_term, i == plan.chosen ? "  <- chosen" : "");
    }
    std::printf(
        "The plan takes the first candidate within %.0f%% of the fastest: a wider or "
        "division-free kernel must win clearly.\n",
        plan_margin * 100);
    return 0;
}

// What a program does first thing: plan its order, cold. Prints the choice.
int plan_cold(const char* order) {
    const kernel_plan plan = measure_plan(std::strcmp(order, "strict") == 0 ? summation_order::strict
                                                                            : summation_order::four_lane);
    std::printf("%s\n", kernel_name(plan.chosen_kernel()).c_str());
    return 0;
}

// Runs this program again with the hidden --plan-cold flag and returns the
// kernel the fresh process chose ("?" if it failed).
std::string cold_choice(summation_order order) {
    int out[2];
    if (pipe(out) != 0) return "?";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    char self[] = "/proc/self/exe", flag[] = "--plan-cold";
    std::string order_arg = order_name(order);
    char* argv[] = {self, flag, order_arg.data(), nullptr};
    pid_t child = 0;
    const int failed = posix_spawn(&child, self, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; !failed && (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    if (failed || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "?";
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

void busy_scalar(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    volatile double sink = 0.0;
    for (std::int32_t first = 0; std::chrono::steady_clock::now() < until; first += 4096)
        sink = sink + plain_strict(first, 4096);
}

// How often fresh processes choose each kernel: the plan's repeatability.
// Each start follows either a second of idle or half a second of scalar
// work (as in the suite, run after run), on the processor that did it.
int repeat_plan(int starts) {
    const int cpu = sched_getcpu();
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    const bool pinned = cpu >= 0 && sched_setaffinity(0, sizeof only, &only) == 0;  // children inherit it
    struct condition {
        const char* name;
        void (*before)();
    };
    const condition conditions[] = {
        {"after 1 s idle", [] { std::this_thread::sleep_for(std::chrono::seconds(1)); }},
        {"after 0.5 s of scalar work", [] { busy_scalar(0.5); }},
    };
    std::map<std::string, std::map<std::string, int>> chosen;  // condition and order -> kernel -> starts
    for (int start = 0; start < starts; ++start)
        for (const condition& c : conditions)
            for (summation_order order : {summation_order::strict, summation_order::four_lane}) {
                c.before();
                ++chosen[std::string(c.name) + "\t" + order_name(order)][cold_choice(order)];
            }
    std::printf("%d cold starts per order and condition, each a fresh process", starts);
    if (pinned) std::printf(" on CPU %d", cpu);
    std::printf(":\n");
    for (const condition& c : conditions) {
        std::printf("%s\n", c.name);
        for (summation_order order : {summation_order::strict, summation_order::four_lane}) {
            std::printf("  %-10s", order_name(order));
            const char* separator = "";
            for (const auto& [name, count] : chosen[std::string(c.name) + "\t" + order_name(order)]) {
                std::printf("%s%s %d of %d", separator, name.c_str(), count, starts);
                separator = ", ";
            }
            std::printf("\n");
        }
    }
    return 0;
}

int verify() {
    int status = 0;
    for (const kernel* k : supported_kernels()) {
        const auto started = std::chrono::steady_clock::now();
        const std::int64_t differing = differing_terms(*k, 0, num_steps);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("%-14s %lld of %d terms differ from IEEE division (%.1f s)\n", kernel_name(*k).c_str(),
                    static_cast<long long>(differing), num_steps, seconds);
        if (differing != 0) status = 1;
    }
    return status;
}

// What was printed must have reached standard output: a full disk or a
// closed pipe is a failure (status 1), said on standard error.
int written(int status) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    std::fprintf(stderr, "corvane-kernels: cannot write standard output: %s\n",
                 errno != 0 ? std::strerror(errno) : "write error");
    return 1;
}

constexpr char usage[] = R"(usage: corvane-kernels [OPTION]
Each summation kernel this processor supports beside the floors its order
allows, on one thread and on two: ns_per_term, and vs_floor against the
binding floor. scalar/strict and scalar/four_lane are the plain loops built
without vectorisation: the baseline of what SIMD buys.

  (none)             run the kernel benchmarks (Google Benchmark)
  --json FILE        run them and also write them to FILE as Google Benchmark
                     JSON: --benchmark_out=FILE --benchmark_out_format=json
  --plan             what a program would choose on this machine, and why
  --plan --repeat N  how often N fresh processes choose each kernel
  --verify           every term of every kernel against IEEE division
                     (exit 1 if any term differs)
  --version          the Corvane version
  --help             this text

Google Benchmark's own --benchmark_* flags work with the benchmarks, e.g.
--benchmark_filter=REGEX, --benchmark_repetitions=N, --benchmark_min_time=S,
--benchmark_format=console|json|csv, --benchmark_out=FILE,
--benchmark_out_format=console|json|csv, --benchmark_list_tests.
Exit status: 0 done; 1 a term differs (--verify) or a report was not
written; 2 a usage problem.
)";

int usage_problem(const std::string& problem) {
    std::fprintf(stderr, "corvane-kernels: %s (see corvane-kernels --help)\n", problem.c_str());
    return 2;
}

// Whether Google Benchmark finished the JSON it was to write: it does not
// say when a write fails.
bool complete_json(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) return false;
    int last = EOF;
    for (int c; (c = std::fgetc(file)) != EOF;)
        if (c != ' ' && c != '\n') last = c;
    const bool read = !std::ferror(file);
    std::fclose(file);
    return read && last == '}';
}

}  // namespace

int main(int argc, char** argv) {
    set_step();
    const std::string option = argc > 1 ? argv[1] : "";
    if (argc == 2 && (option == "--help" || option == "-h")) {
        std::fputs(usage, stdout);
        return written(0);
    }
    if (argc == 2 && option == "--version") {
        std::printf("corvane-kernels %s\n", CORVANE_VERSION);
        return written(0);
    }
    if (argc == 2 && option == "--plan") return written(print_plan());
    if (argc == 4 && option == "--plan" && std::strcmp(argv[2], "--repeat") == 0 && std::atoi(argv[3]) > 0)
        return written(repeat_plan(std::atoi(argv[3])));
    if (argc == 3 && option == "--plan-cold") return written(plan_cold(argv[2]));
    if (argc == 2 && option == "--verify") return written(verify());
    if (option == "--help" || option == "-h" || option == "--version" || option == "--plan" ||
        option == "--verify")
        return usage_problem("'" + option + "' goes alone, but for --plan --repeat N (N from 1)");

    // --json FILE is Google Benchmark's own file output, named as people expect.
    std::vector<std::string> arguments(argv, argv + argc);
    std::string json_path;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != "--json" && arguments[i].rfind("--json=", 0) != 0) continue;
        if (arguments[i] == "--json" && i + 1 == arguments.size())
            return usage_problem("--json needs a file");
        json_path = arguments[i] == "--json" ? arguments[i + 1] : arguments[i].substr(7);
        if (json_path.empty()) return usage_problem("--json needs a file");
        arguments.erase(
            arguments.begin() + static_cast<std::ptrdiff_t>(i),
            arguments.begin() + static_cast<std::ptrdiff_t>(i) + (arguments[i] == "--json" ? 2 : 1));
        arguments.insert(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                         {"--benchmark_out=" + json_path, "--benchmark_out_format=json"});
        break;
    }
    std::vector<char*> pointers;
    for (auto& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, pointers.data());
    if (benchmark::ReportUnrecognizedArguments(count, pointers.data())) return 2;

    const std::vector<const kernel*> kernels = supported_kernels();
    for (int threads : {1, 2}) {
        add("floor/addition_chain", addition_chain, threads, "", "addition_chain");
        add("floor/four_lane_chain", four_lane_chain, threads, "", "four_lane_chain");
        for (const kernel* k : kernels)
            add(
                "floor/evaluation/" + kernel_name(*k),
                [k](std::int32_t first, std::int32_t n) { return k->evaluation_floor(first, n, 0.0, step); },
                threads, "", "evaluation/" + kernel_name(*k));
        add("plain_strict", plain_strict, threads, "addition_chain");
        add("plain_four_lane", plain_four_lane, threads, "four_lane");
        add("scalar/strict", scalar_strict, threads, "addition_chain");
        add("scalar/four_lane", scalar_four_lane, threads, "four_lane");
        for (const kernel* k : kernels) {
            add(
                "strict/" + kernel_name(*k),
                [k](std::int32_t first, std::int32_t n) { return k->strict(first, n, 0.0, step); }, threads,
                "addition_chain");
            add(
                "four_lane/" + kernel_name(*k),
                [k](std::int32_t first, std::int32_t n) { return k->four_lane(first, n, 0.0, step); },
                threads, "four_lane");
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!json_path.empty() && !complete_json(json_path)) {
        std::fprintf(stderr, "corvane-kernels: %s was not written completely\n", json_path.c_str());
        return 1;
    }
    return written(0);
}
