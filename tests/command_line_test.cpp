// corvane-bench's command line as a person meets it: one-line usage errors
// that touch nothing, counts and seeds out of range, and its version.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

TEST_F(StandIns, UsageErrorsExitTwoWithOneLineAndNoFiles) {
    unlink((dir_ + "/corvane-autopar").c_str());
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--frobnicate"}, "frobnicate"},
        {{"--threads", "0"}, "--threads: '0' is not a positive integer"},
        {{"--threads", "2,x"}, "--threads: 'x' is not a positive integer"},
        {{"--programs", "corvane-fast"}, "unknown program 'corvane-fast'"},
        {{}, "corvane-autopar not found in"},
        {{"--programs", "corvane-serial", "--env", "NOVALUE"}, "--env: 'NOVALUE' is not NAME=VALUE"},
        {{"--programs", "corvane-serial", "--runs", "0"}, "--runs"},
        {{"--programs", "corvane-serial", "--csv", "/nonexistent/dir/r.csv"},
         "cannot write /nonexistent/dir/r.csv"},
    };
    for (const auto& [args, message] : cases) {
        auto with_json = args;
        with_json.insert(with_json.end(), {"--json", file("r.json")});
        const auto run = bench(with_json);
        EXPECT_EQ(run.exit_status, 2) << message;
        EXPECT_EQ(run.err.rfind("corvane-bench: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(exists(file("r.json"))) << message;
    }
}

TEST_F(StandIns, CountsAndSeedsOutOfRangeAreUsageErrors) {
    mkdir(file("dir").c_str(), 0755);
    mkdir(file("dir/corvane-serial").c_str(), 0755);
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--runs", "0"}, "corvane-bench: --runs must be at least 1\n"},
             {{"--runs", "2147483647"}, "corvane-bench: --runs must be at most 1000\n"},
             {{"--runs", "1", "--warmup", "2147483647"}, "corvane-bench: --warmup must be at most 100\n"},
             {{"--timeout", "inf"},
              "corvane-bench: --timeout: give a number of seconds above 0 and at most 604800\n"},
             {{"--timeout", "1e400"}, "--timeout"},
             {{"--seed", "18446744073709551616"}, "--seed: '18446744073709551616' is not a whole number"},
             {{"--seed", "-1"}, "--seed"},
             {{"--programs", "corvane-serial,corvane-serial"}, "--programs names corvane-serial twice"},
             {{"--bin-dir", file("dir")},
              "corvane-serial not found in " + file("dir") + " as an executable file"},
         }) {
        std::vector<std::string> all = {"--programs", "corvane-serial", "--bin-dir", dir_};
        for (std::size_t i = 0; i < args.size(); i += 2) {
            const auto given = std::find(all.begin(), all.end(), args[i]);
            if (given != all.end())
                *(given + 1) = args[i + 1];
            else
                all.insert(all.end(), {args[i], args[i + 1]});
        }
        const auto run = run_program(CORVANE_BENCH, all);
        EXPECT_EQ(run.exit_status, 2) << message << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

TEST(Version, NamesTheVersionAndCommitAndExitsZero) {
    const auto run = run_program(CORVANE_BENCH, {"--version"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(std::regex_match(run.out, std::regex(R"(corvane-bench \d+\.\d+\.\d+ \(commit [^ )]+\)\n)")))
        << run.out;
    EXPECT_EQ(run.err, "");
}
