// The gate and the millisecond clock as a user meets them: corvane-bench
// run at its defaults on stand-in builds, then compare --fail-on-slower on
// the results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/base/error.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

namespace {

class Gate : public StandIns {
protected:
    // Every program of a --bin-dir reports `seconds` after sleeping that long.
    void build_reporting(const std::string& dir, double seconds) {
        mkdir(dir.c_str(), 0755);
        for (const auto& program : {"corvane-serial", "corvane-serial-simd", "corvane-omp",
                                    "corvane-omp-simd", "corvane-autopar"}) {
            const std::string path = dir + "/" + program;
            std::ofstream(path) << "#!/bin/sh\nsleep " << seconds << "\nprintf '"
                                << escaped(report_of(seconds)) << "'\n";
            chmod(path.c_str(), 0755);
        }
    }
    // corvane-bench with nothing but these options: its defaults otherwise.
    static program_run bench_only(const std::vector<std::string>& args) {
        run_options options;
        options.timeout_s = 300;
        return run_program(CORVANE_BENCH, args, options);
    }
};

}  // namespace

TEST_F(Gate, ABuildTwiceAsSlowFailsAtTheDefaults) {
    // Once every cell read ratio 2.000, p (Holm) 0.0635, "same", exit 0.
    build_reporting(file("fast"), 0.05);
    build_reporting(file("slow"), 0.10);
    const auto fast = bench_only({"--bin-dir", file("fast"), "--json", file("fast.json")});
    ASSERT_EQ(fast.exit_status, 0) << fast.err;
    // The default run count reaches significance for the default cells: no warning that it cannot.
    EXPECT_EQ(fast.out.find("runs a cell, compare"), std::string::npos) << fast.out;
    const auto slow = bench_only({"--bin-dir", file("slow"), "--json", file("slow.json")});
    ASSERT_EQ(slow.exit_status, 0) << slow.err;

    const auto gate = compare({file("fast.json"), file("slow.json"), "--fail-on-slower"});
    EXPECT_EQ(gate.exit_status, slower_found) << gate.out << gate.err;
    EXPECT_NE(gate.err.find("corvane-bench: --fail-on-slower: significantly slower: "), std::string::npos)
        << gate.err;
    EXPECT_NE(gate.out.find("cells together"), std::string::npos) << gate.out;
    // The other way round it is faster, and passes.
    EXPECT_EQ(compare({file("slow.json"), file("fast.json"), "--fail-on-slower"}).exit_status, 0);
}

TEST_F(Gate, ABuildWhoseEveryRunTimesOutFailsWithItsOwnStatus) {
    ASSERT_EQ(bench({"--programs", "corvane-serial", "--json", file("old.json")}).exit_status, 0);
    stand_in("corvane-serial", "sleep 30");
    const auto hung = bench({"--programs", "corvane-serial", "--timeout", "0.3", "--json", file("new.json")});
    ASSERT_EQ(hung.exit_status, 1) << hung.err;  // invalid runs, results written

    const auto gate = compare({file("old.json"), file("new.json"), "--fail-on-slower", "--json"});
    EXPECT_EQ(gate.exit_status, runs_lost) << gate.err;
    EXPECT_NE(gate.err.find("corvane-bench: --fail-on-slower: runs lost in the new result: corvane-serial (2 "
                            "of 2 runs invalid in the new result, the first: timed out after 0.3 s)"),
              std::string::npos)
        << gate.err;
    // The table, the warning and the document say the same.
    EXPECT_NE(gate.err.find("lost: 2 of 2 runs invalid in the new result, the first: timed out"),
              std::string::npos)
        << gate.err;
    EXPECT_NE(gate.err.find("warning: runs lost in the new result"), std::string::npos) << gate.err;
    const auto doc = nlohmann::json::parse(gate.out);
    EXPECT_EQ(doc["gate"], "lost runs");
    EXPECT_EQ(doc["cells"][0]["verdict"], "lost runs");
    // Without the gate the comparison is still shown, and exits 0.
    EXPECT_EQ(compare({file("old.json"), file("new.json")}).exit_status, 0);
}

TEST_F(Gate, SaysBeforeTheRunsWhenTheyCannotFailTheGateAndHowManyCan) {
    const auto few = bench({"--programs", "corvane-serial", "--json", file("r.json")});  // 2 runs
    ASSERT_EQ(few.exit_status, 0) << few.err;
    const std::string warning =
        "warning: with 2 runs a cell, compare cannot call this cell slower, and --fail-on-slower cannot fail "
        "(use --runs 4 or more)";
    const auto at = few.out.find(warning);
    EXPECT_NE(at, std::string::npos) << few.out;
    EXPECT_LT(at, few.out.find("median s")) << few.out;  // before the table
    // Nothing saved for compare, nothing to warn about.
    EXPECT_EQ(bench({"--programs", "corvane-serial"}).out.find(warning), std::string::npos);
}

TEST_F(Gate, CellsOfAFewTicksAreWarnedAboutAndShowNoSpreadOfZero) {
    // Reports of 3, 4, 4, 4 and 6 ms in turn: a MAD of 0, once shown as
    // "mad 0.0%", with a speedup interval and no word about the clock.
    for (const auto& program : {"corvane-serial", "corvane-omp"}) {
        const std::string count = file(std::string(program) + ".count");
        stand_in(program, "n=$(cat '" + count + "' 2>/dev/null || echo 0)\necho $((n + 1)) > '" + count +
                              "'\nset -- 3 4 4 4 6\nshift $((n % 5))\nsleep 0.01\nprintf '" +
                              escaped(corvane::expected_value_line()) +
                              "\\nThe time to calculate PI was 0.00%d000 seconds\\n' \"$1\"");
    }
    const auto run = bench_only({"--bin-dir", dir_, "--warmup", "0", "--programs",
                                 "corvane-serial,corvane-omp", "--threads", "1", "--wide"});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    const auto warned = run.out.find(
        "warning: corvane-serial: median 0.004 s is 4 tick(s) of the programs' 1 ms clock, under 50: its "
        "time, spread and speedup are good to about 25% (one tick); the harness's clock read ");
    EXPECT_NE(warned, std::string::npos) << run.out;
    EXPECT_LT(warned, run.out.find("median s")) << run.out;  // before the figures
    EXPECT_NE(run.out.find("s for the whole process (start-up and exit included)"), std::string::npos);
    // The spread is the tick's, at most: never 0.0%.
    EXPECT_EQ(run.out.find(" 0.0% "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" ≤25.0% "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("≤ mad: the spread is within one tick"), std::string::npos) << run.out;
    // The harness's own clock beside the cell, and a speedup interval that
    // allows the tick: [0.67, 1.50] of the ratios, then 3/4 x 4/5 and 5/4 x 4/3.
    EXPECT_NE(run.out.find("4 ticks (process 0.0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("[0.40, 2.50]"), std::string::npos) << run.out;
}
