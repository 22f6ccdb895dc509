// compare's verdicts and the --fail-on-slower gate, and what the millisecond
// clock can say, on made-up and seeded simulated times: no program runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/base/stats.hpp"
#include "bench/base/tick.hpp"
#include "bench/compare/gate.hpp"

using namespace corvane::bench;

namespace {

// The oracle: every way of choosing which pooled values are b's, counted.
double enumerated_one_sided_p(const std::vector<double>& a, const std::vector<double>& b) {
    const auto u_of = [](const std::vector<double>& high, const std::vector<double>& low) {
        double u = 0;
        for (double x : high)
            for (double y : low) u += x > y ? 1.0 : x == y ? 0.5 : 0.0;
        return u;
    };
    std::vector<double> pooled(a);
    pooled.insert(pooled.end(), b.begin(), b.end());
    const double observed = u_of(b, a);
    long as_large = 0, total = 0;
    for (unsigned mask = 0; mask < (1u << pooled.size()); ++mask) {
        if (static_cast<std::size_t>(__builtin_popcount(mask)) != b.size()) continue;
        std::vector<double> first, second;
        for (std::size_t i = 0; i < pooled.size(); ++i)
            (mask >> i & 1u ? second : first).push_back(pooled[i]);
        as_large += u_of(second, first) >= observed - 1e-9 ? 1 : 0;
        ++total;
    }
    return static_cast<double>(as_large) / static_cast<double>(total);
}

cell_pair pair_of(const std::string& label, std::vector<double> old_times, std::vector<double> new_times,
                  int new_invalid = 0) {
    return {label, true, true, std::move(old_times), std::move(new_times), new_invalid, ""};
}

std::vector<double> repeated(double seconds, std::size_t runs) { return std::vector<double>(runs, seconds); }

bool any_message_has(const comparison_verdict& v, const std::string& words) {
    return std::any_of(v.messages.begin(), v.messages.end(),
                       [&](const gate_message& m) { return m.text.find(words) != std::string::npos; });
}

// A uniform draw in (0, 1) from the generator's bits alone: the standard
// library's distributions differ between implementations, and the rates
// below must not.
double uniform(std::mt19937_64& random) {
    return (static_cast<double>(random() >> 11) + 0.5) / 9007199254740992.0;
}

// Seeded runs of a cell whose runs typically take `seconds`: 3% log-normal
// noise (the MAD of a quiet cell on the 2-core AMD EPYC is 0.6% to 4.7%),
// one run in ten meets a passing job and takes up to 20% longer, and the
// programs' clock reads whole milliseconds, so short cells tie.
std::vector<double> simulated(double seconds, std::size_t runs, std::mt19937_64& random) {
    std::vector<double> times;
    for (std::size_t i = 0; i < runs; ++i) {
        // Box-Muller: a standard normal from two uniforms.
        const double normal =
            std::sqrt(-2.0 * std::log(uniform(random))) * std::cos(6.283185307179586 * uniform(random));
        double t = seconds * std::exp(0.03 * normal);
        if (uniform(random) < 0.1) t *= 1.0 + 0.2 * uniform(random);
        times.push_back(std::max(1.0, std::round(t * 1e3)) / 1e3);
    }
    return times;
}

// The cells' typical times, from the 2-core machine's table down to a
// cell of 5 ms (600 ms over 128 threads).
constexpr double typical_s[] = {0.580, 0.153, 0.300, 0.083, 0.005, 0.299, 0.154, 0.085};

// How often the gate fails over `pairs` seeded pairs of results of `cells`
// cells: NEW's cells `factor` times slower, all of them or only one.
double failure_rate(std::size_t cells, std::size_t runs, double factor, bool only_one, int pairs,
                    std::uint64_t seed) {
    std::mt19937_64 random(seed);
    int failed = 0;
    for (int trial = 0; trial < pairs; ++trial) {
        const std::size_t slowed = static_cast<std::size_t>(trial) % cells;
        std::vector<cell_pair> pairs_of_cells;
        for (std::size_t i = 0; i < cells; ++i) {
            const double t = typical_s[i % std::size(typical_s)];
            const double f = !only_one || i == slowed ? factor : 1.0;
            pairs_of_cells.push_back(pair_of("cell " + std::to_string(i), simulated(t, runs, random),
                                             simulated(t * f, runs, random)));
        }
        failed += gate_exit_status(judge_comparison(pairs_of_cells, 0.01)) != 0 ? 1 : 0;
    }
    return static_cast<double>(failed) / pairs;
}

// Every cell count the default thread list gives up to 64: two serial
// programs and three OpenMP programs on 1, 2, ... team sizes.
std::vector<std::size_t> default_cell_counts() {
    std::vector<std::size_t> counts;
    for (std::size_t sizes = 1; 2 + 3 * sizes <= 64; ++sizes) counts.push_back(2 + 3 * sizes);
    return counts;
}

}  // namespace

TEST(OneSidedTest, CountsEveryArrangementWithTies) {
    EXPECT_NEAR(one_sided_p(repeated(0.05, 5), repeated(0.10, 5)), 1.0 / 252.0, 1e-15);
    EXPECT_NEAR(one_sided_p(repeated(0.10, 5), repeated(0.05, 5)), 1.0, 1e-15);
    EXPECT_NEAR(one_sided_p(repeated(0.05, 5), repeated(0.05, 5)), 1.0, 1e-15);
    std::mt19937_64 random(23);
    for (int trial = 0; trial < 200; ++trial) {
        std::uniform_int_distribution<int> size(1, 8), tick(3, 7);
        std::vector<double> a(static_cast<std::size_t>(size(random))),
            b(static_cast<std::size_t>(size(random)));
        for (double& x : a) x = tick(random) / 1e3;  // 3 to 7 ms: ties everywhere
        for (double& x : b) x = tick(random) / 1e3;
        EXPECT_NEAR(one_sided_p(a, b), enumerated_one_sided_p(a, b), 1e-12) << trial;
        EXPECT_NEAR(one_sided_tests(a, b).b_smaller, enumerated_one_sided_p(b, a), 1e-12) << trial;
    }
}

TEST(OneSidedTest, BeyondFortyValuesTheNormalApproximationTakesOver) {
    // 21 against 21 runs: the exact one-sided p of full separation is
    // 1/C(42, 21), about 1.9e-12; the approximation is small too, and both
    // tails are read the right way round.
    const one_sided_ps separated = one_sided_tests(repeated(0.05, 21), repeated(0.10, 21));
    EXPECT_LT(separated.b_larger, 1e-9);
    EXPECT_GT(separated.b_smaller, 0.99);
    EXPECT_EQ(one_sided_tests(repeated(0.05, 21), repeated(0.05, 21)).b_larger, 1.0);  // no spread at all
}

TEST(OneSidedTest, SmallestPossibleValueAndFishersCombination) {
    EXPECT_NEAR(smallest_one_sided_p(5, 5), 1.0 / 252.0, 1e-15);
    EXPECT_NEAR(smallest_one_sided_p(10, 10), 1.0 / 184756.0, 1e-18);
    EXPECT_NEAR(smallest_one_sided_p(2, 10), 1.0 / 66.0, 1e-15);
    // With one p-value, Fisher's combination is that p-value; with two of
    // product q, it is q (1 - ln q).
    EXPECT_NEAR(fisher_combined_p({0.05}), 0.05, 1e-12);
    EXPECT_NEAR(fisher_combined_p({0.1, 0.2}), 0.02 * (1.0 - std::log(0.02)), 1e-12);
    EXPECT_NEAR(fisher_combined_p({1.0, 1.0, 1.0}), 1.0, 1e-12);
    EXPECT_LT(fisher_combined_p(std::vector<double>(1000, 1.0 / 252.0)), 1e-300);
}

TEST(Gate, FailsAUniformSlowdownAtFiveRunsWhereTheTwoSidedHolmRuleCouldNot) {
    // Stand-ins sleeping 0.05 s against 0.10 s, 5 runs, 8 cells: once ratio 2.000, p (Holm) 0.0635, same.
    std::vector<cell_pair> cells;
    for (int i = 0; i < 8; ++i)
        cells.push_back(pair_of("cell " + std::to_string(i), repeated(0.05, 5), repeated(0.10, 5)));
    const comparison_verdict v = judge_comparison(cells, 0.01);
    EXPECT_EQ(v.gate, gate_outcome::slower);
    EXPECT_EQ(gate_exit_status(v), 4);
    for (const cell_verdict& c : v.cells) {
        EXPECT_EQ(c.verdict, change::slower) << c.label;
        EXPECT_NEAR(c.ratio.ratio, 2.0, 1e-12);
        EXPECT_NEAR(c.p_slower, 1.0 / 252.0, 1e-15);
    }
    ASSERT_TRUE(v.together);
    EXPECT_EQ(v.together->verdict, change::slower);
    EXPECT_EQ(gate_failure(v).rfind("--fail-on-slower: significantly slower: cell 0 (ratio 2.000)", 0), 0u);
    // Faster by the same amount is faster, and passes.
    std::vector<cell_pair> reversed;
    for (int i = 0; i < 8; ++i)
        reversed.push_back(pair_of("cell " + std::to_string(i), repeated(0.10, 5), repeated(0.05, 5)));
    const comparison_verdict faster = judge_comparison(reversed, 0.01);
    EXPECT_EQ(faster.cells[0].verdict, change::faster);
    EXPECT_EQ(gate_exit_status(faster), 0);
    // Under --min-effect either way, a significant change is same, each cell
    // and all of them together.
    for (const auto& [old_s, new_s] : {std::pair{0.500, 0.502}, std::pair{0.502, 0.500}}) {
        std::vector<cell_pair> slight;
        for (int i = 0; i < 8; ++i)
            slight.push_back(pair_of("cell " + std::to_string(i), repeated(old_s, 5), repeated(new_s, 5)));
        const comparison_verdict small = judge_comparison(slight, 0.01);
        for (const cell_verdict& c : small.cells) {
            EXPECT_LT(std::min(c.p_slower_holm, c.p_faster_holm), gate_level) << c.label;
            EXPECT_EQ(c.verdict, change::same) << c.label << ", " << old_s << " s to " << new_s << " s";
        }
        ASSERT_TRUE(small.together);
        EXPECT_EQ(small.together->verdict, change::same) << old_s << " s to " << new_s << " s";
    }
}

TEST(Gate, CatchesASlowdownEverywhereThroughAllCellsTogetherWhenNoSingleCellCanBe) {
    // 62 cells of 5 runs: 1/252 times 63 is above 0.05, so no cell alone.
    std::vector<cell_pair> cells;
    for (int i = 0; i < 62; ++i)
        cells.push_back(pair_of("cell " + std::to_string(i), repeated(0.05, 5), repeated(0.10, 5)));
    const comparison_verdict v = judge_comparison(cells, 0.01);
    EXPECT_EQ(v.cells[0].verdict, change::same);
    ASSERT_TRUE(v.together);
    EXPECT_EQ(v.together->label, "all 62 cells together");
    EXPECT_EQ(v.together->verdict, change::slower);
    EXPECT_EQ(gate_exit_status(v), 4);
    EXPECT_TRUE(any_message_has(v, "no single cell is significantly slower, but all 62 together are"));
    EXPECT_TRUE(any_message_has(v,
                                "62 of 62 cells have too few runs to be called slower or faster on their own "
                                "(7 runs each can)"));
    EXPECT_EQ(gate_failure(v),
              "--fail-on-slower: significantly slower: all 62 cells together (geometric mean ratio 2.000)");
    // A whole that is barely slower, or barely faster, than --min-effect is same.
    for (const auto& [old_s, new_s] : {std::pair{0.500, 0.502}, std::pair{0.502, 0.500}}) {
        std::vector<cell_pair> slight;
        for (int i = 0; i < 62; ++i)
            slight.push_back(pair_of("cell " + std::to_string(i), repeated(old_s, 5), repeated(new_s, 5)));
        const comparison_verdict whole = judge_comparison(slight, 0.01);
        EXPECT_EQ(gate_exit_status(whole), 0);
        ASSERT_TRUE(whole.together);
        EXPECT_LT(std::min(whole.together->p_slower_holm, whole.together->p_faster_holm), gate_level);
        EXPECT_EQ(whole.together->verdict, change::same) << old_s << " s to " << new_s << " s";
    }
}

TEST(Gate, LostRunsFailWithAStatusOfTheirOwn) {
    const std::vector<double> old = {0.50, 0.51, 0.50, 0.52, 0.50};
    // Every run of NEW timed out.
    comparison_verdict v = judge_comparison({pair_of("corvane-omp threads 2", old, {}, 5)}, 0.01);
    EXPECT_EQ(v.cells[0].verdict, change::lost);
    EXPECT_EQ(v.gate, gate_outcome::lost);
    EXPECT_EQ(gate_exit_status(v), runs_lost);
    EXPECT_NE(runs_lost, 4);
    EXPECT_EQ(
        gate_failure(v),
        "--fail-on-slower: runs lost in the new result: corvane-omp threads 2 (5 of 5 runs invalid in the "
        "new result)");
    // Half of them: the survivors would read same, and the cell is lost.
    v = judge_comparison({pair_of("a", old, {0.50, 0.51}, 3), pair_of("b", old, old)}, 0.01);
    EXPECT_EQ(v.cells[0].verdict, change::lost);
    EXPECT_EQ(v.cells[0].why, "3 of 5 runs invalid in the new result");
    EXPECT_EQ(gate_exit_status(v), runs_lost);
    // A cell of OLD missing in NEW is lost; a cell only in NEW is not.
    v = judge_comparison({{"gone", true, false, old, {}, 0, ""}, pair_of("b", old, old)}, 0.01);
    EXPECT_EQ(v.cells[0].why, "missing in the new result");
    EXPECT_EQ(gate_exit_status(v), runs_lost);
    v = judge_comparison({{"added", false, true, {}, old, 0, ""}, pair_of("b", old, old)}, 0.01);
    EXPECT_EQ(v.cells[0].verdict, change::only_in_new);
    EXPECT_EQ(gate_exit_status(v), 0);
    EXPECT_TRUE(any_message_has(v, "only in the new result, not gated: added"));
    // Invalid runs in OLD are the baseline's problem, not the new build's.
    v = judge_comparison({{"b", true, true, {}, old, 0, ""}}, 0.01);
    EXPECT_EQ(v.cells[0].verdict, change::not_compared);
    EXPECT_EQ(gate_exit_status(v), 0);
    // Lost and slower at once: lost wins, and both are named.
    std::vector<cell_pair> both{pair_of("hung", old, {}, 5)};
    for (int i = 0; i < 4; ++i)
        both.push_back(pair_of("c" + std::to_string(i), repeated(0.05, 5), repeated(0.10, 5)));
    v = judge_comparison(both, 0.01);
    EXPECT_EQ(gate_exit_status(v), runs_lost);
    EXPECT_NE(gate_failure(v).find("; significantly slower: c0 (ratio 2.000)"), std::string::npos);
}

TEST(Gate, TheTableTheNotesTheWarningsAndTheExitNeverContradictEachOther) {
    // One cell with 10 runs 2x slower, another with 2 runs: once the table
    // said slower, a note "every cell reads same", a warning "cannot fail",
    // and the exit was 4.
    const comparison_verdict v = judge_comparison(
        {pair_of("ten", repeated(0.05, 10), repeated(0.10, 10)), pair_of("two", {0.05, 0.05}, {0.05, 0.05})},
        0.01);
    EXPECT_EQ(v.cells[0].verdict, change::slower);
    EXPECT_EQ(v.cells[1].verdict, change::same);
    EXPECT_EQ(gate_exit_status(v), 4);
    EXPECT_FALSE(any_message_has(v, "cannot fail"));
    EXPECT_FALSE(any_message_has(v, "every cell"));
    EXPECT_TRUE(any_message_has(v,
                                "1 of 2 cells have too few runs to be called slower or faster on their own "
                                "(4 runs each can): two"));
    // Where nothing can be called, the warning says so and nothing is slower.
    const comparison_verdict none = judge_comparison({pair_of("one", {0.05, 0.05}, {0.10, 0.10})}, 0.01);
    EXPECT_EQ(none.cells[0].verdict, change::same);
    EXPECT_EQ(gate_exit_status(none), 0);
    EXPECT_TRUE(any_message_has(none, "--fail-on-slower cannot fail on a slowdown (use --runs 4 or more)"));
    for (const comparison_verdict* each : {&v, &none}) {
        const bool slower = std::any_of(each->cells.begin(), each->cells.end(),
                                        [](const cell_verdict& c) { return c.verdict == change::slower; });
        EXPECT_EQ(slower || (each->together && each->together->verdict == change::slower),
                  gate_exit_status(*each) == 4);
    }
}

TEST(Gate, SaysBeforeTheRunsWhetherSignificanceIsReachable) {
    // 8 cells and the whole: 9 hypotheses, 9/252 < 0.05.
    EXPECT_TRUE(reach_of(8, 5).single_cell);
    EXPECT_EQ(reach_warning(8, 5), "");
    // 23 cells: 24/252 > 0.05, 24/924 < 0.05.
    gate_reach r = reach_of(23, 5);
    EXPECT_FALSE(r.single_cell);
    EXPECT_TRUE(r.together);
    EXPECT_EQ(r.runs_for_single_cell, 6u);
    EXPECT_EQ(reach_warning(62, 5),
              "with 5 runs a cell, compare can call these 62 cells slower together but no single one of them "
              "(that needs --runs 7)");
    r = reach_of(1, 2);
    EXPECT_FALSE(r.single_cell);
    EXPECT_FALSE(r.together);
    EXPECT_EQ(r.runs_for_single_cell, 4u);  // 1/20 is not below 0.05; 1/70 is
    EXPECT_EQ(
        reach_warning(1, 3),
        "with 3 runs a cell, compare cannot call this cell slower, and --fail-on-slower cannot fail (use "
        "--runs 4 or more)");
    EXPECT_EQ(
        reach_warning(3, 2),
        "with 2 runs a cell, compare cannot call any of these 3 cells slower, and --fail-on-slower cannot "
        "fail (use --runs 5 or more)");
    // At the default 5 runs, every default cell count can catch a slowdown everywhere.
    for (std::size_t cells : default_cell_counts()) EXPECT_TRUE(reach_of(cells, 5).together) << cells;
}

// The gate's rates on seeded simulated results (see simulated()): the
// figures the README quotes.
TEST(GateSimulated, RarelyCriesWolfOnIdenticalBuilds) {
    for (std::size_t cells : {5u, 8u, 23u, 62u})
        for (std::size_t runs : {5u, 10u}) {
            const double rate = failure_rate(cells, runs, 1.0, false, 1000, 1000 + cells * 10 + runs);
            std::printf("false alarms, %zu cells, %zu runs: %.1f%%\n", cells, runs, rate * 100.0);
            EXPECT_LE(rate, 0.05) << cells << " cells, " << runs << " runs";
        }
}

TEST(GateSimulated, FailsABuildTwiceAsSlowForEveryDefaultCellCount) {
    for (std::size_t cells : default_cell_counts()) {
        const double rate = failure_rate(cells, 5, 2.0, false, 1000, 2000 + cells);
        std::printf("detected 2x everywhere, %zu cells, 5 runs: %.1f%%\n", cells, rate * 100.0);
        EXPECT_GE(rate, 0.95) << cells << " cells";
    }
}

TEST(GateSimulated, FailsTwentyPercentInOneCellWithTenRuns) {
    for (std::size_t cells : {5u, 8u, 23u, 62u}) {
        const double rate = failure_rate(cells, 10, 1.2, true, 1000, 3000 + cells);
        std::printf("detected 20%% in one cell, %zu cells, 10 runs: %.1f%%\n", cells, rate * 100.0);
        EXPECT_GE(rate, 0.95) << cells << " cells";
    }
}

TEST(Tick, ASpreadWithinOneTickIsTheClocksAndAnUpperBound) {
    // A stand-in reporting 4 to 6 ms: the MAD is 0, which summarize shows as 0.0%.
    const std::vector<double> times = {0.004, 0.005, 0.005, 0.005, 0.006};
    EXPECT_EQ(summarize(times).relative_mad, 0.0);
    const tick_spread s = spread_of(times);
    EXPECT_TRUE(s.within_tick);
    EXPECT_NEAR(s.relative_mad, 0.2, 1e-12);  // one tick of five
    EXPECT_FALSE(unstable_beyond_tick(s));
    // 3 to 6 ms spread evenly: a MAD of one tick is still the clock's.
    EXPECT_TRUE(spread_of({0.003, 0.004, 0.005, 0.006, 0.006}).within_tick);
    // A spread of several ticks is the program's, and unstable.
    const tick_spread wide = spread_of({0.030, 0.036, 0.040, 0.044, 0.050});
    EXPECT_FALSE(wide.within_tick);
    EXPECT_NEAR(wide.relative_mad, 0.1, 1e-12);
    EXPECT_TRUE(unstable_beyond_tick(wide));
    // Long cells are as before.
    const tick_spread quiet = spread_of({0.577, 0.580, 0.583, 0.590, 0.570});
    EXPECT_FALSE(quiet.within_tick);
    EXPECT_NEAR(quiet.relative_mad, 0.003 / 0.580, 1e-12);  // deviations 0, 3, 3, 10, 10 ms
}

TEST(Tick, WidensTheIntervalsByOneTickOnEachTime) {
    // A 4-5 ms stand-in against a 0.6 s baseline: [120.2, 150.3] once.
    const ratio_estimate speedup{133.3, 120.2, 150.3};
    const ratio_estimate wide = widened_by_tick(speedup, 0.600, 0.0045);
    EXPECT_NEAR(wide.ratio, 133.3, 1e-12);
    EXPECT_NEAR(wide.low, 120.2 * 0.599 / 0.600 * 0.0045 / 0.0055, 1e-9);
    EXPECT_NEAR(wide.high, 150.3 * 0.601 / 0.600 * 0.0045 / 0.0035, 1e-9);
    EXPECT_LT(wide.low, 100.0);
    EXPECT_GT(wide.high, 190.0);
    // A cell of one tick bounds nothing above.
    EXPECT_TRUE(std::isinf(widened_by_tick(speedup, 0.600, 0.001).high));
    // At 0.6 s against 0.3 s the tick hardly moves it.
    const ratio_estimate two = widened_by_tick({2.0, 1.9, 2.1}, 0.600, 0.300);
    EXPECT_NEAR(two.low, 1.9 * 0.599 / 0.600 * 0.300 / 0.301, 1e-12);
    EXPECT_GT(two.low, 1.89);
}

TEST(Tick, WarnsAboutCellsUnderFiftyTicksWithTheProcessClockBeside) {
    const process_estimate process = process_estimate_of({0.0121, 0.0123, 0.0125, 0.0119, 0.0124});
    EXPECT_NEAR(process.median_s, 0.0123, 1e-15);
    EXPECT_EQ(
        short_cell_warning("corvane-omp threads 128", 0.005, process),
        "corvane-omp threads 128: median 0.005 s is 5 tick(s) of the programs' 1 ms clock, under 50: its "
        "time, spread and speedup are good to about 20% (one tick); the harness's clock read 0.0123 s for "
        "the whole process (start-up and exit included)");
    EXPECT_EQ(
        short_cell_warning("c", 0.003, {}),
        "c: median 0.003 s is 3 tick(s) of the programs' 1 ms clock, under 50: its time, spread and speedup "
        "are good to about 33% (one tick)");
    EXPECT_EQ(short_cell_warning("c", 0.050, process), "");
    EXPECT_NE(short_cell_warning("c", 0.049, process), "");
}
