// Where corvane-bench's outputs may land, as a user and an attacker try it:
// never on a file it reads, never through another user's link planted in
// /tmp, never nowhere (an empty path, a closed standard output), and never
// twice on standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

namespace {

class Outputs : public StandIns {
protected:
    void SetUp() override {
        StandIns::SetUp();
        std::ofstream(file("a.json")) << json_text(result_of_two_runs());
        std::ofstream(file("b.json")) << json_text(result_of_two_runs());
        a_ = text_of(file("a.json"));
    }
    static suite_result result_of_two_runs() {
        suite_result result;
        result.cells = {{"corvane-serial", std::nullopt, std::nullopt, runs({1.0, 1.01}), {}}};
        evaluate(result.cells);
        return result;
    }
    program_run plain(const std::vector<std::string>& args,
                      corvane::process::stdout_to target = corvane::process::stdout_to::capture) {
        run_options options;
        options.timeout_s = 60;
        options.target = target;
        return run_program(CORVANE_BENCH, args, options);
    }
    std::string a_;
};

}  // namespace

TEST_F(Outputs, AnExportNeverReplacesAFileItReadsByAnyName) {
    symlink(file("a.json").c_str(), file("link-to-a.json").c_str());
    link(file("b.json").c_str(), file("hard-b.json").c_str());
    const std::vector<std::vector<std::string>> cases = {
        {"report", file("a.json"), "--html", file("a.json")},
        {"report", file("a.json"), "--markdown", file("link-to-a.json")},
        {"report", file("b.json"), "--kernels", file("a.json"), "--html", file("a.json")},
        {"compare", file("a.json"), file("b.json"), "--markdown", file("b.json")},
        {"compare", file("a.json"), file("b.json"), "--markdown", file("hard-b.json")},
        {"compare", file("link-to-a.json"), file("b.json"), "--markdown", file("a.json")},
    };
    const std::string b = text_of(file("b.json"));
    for (const auto& args : cases) {
        const auto run = plain(args);
        EXPECT_EQ(run.exit_status, 2) << args.back() << ": " << run.err;
        EXPECT_NE(run.err.find("which is read"), std::string::npos) << run.err;
        EXPECT_EQ(text_of(file("a.json")), a_) << args.back();
        EXPECT_EQ(text_of(file("b.json")), b) << args.back();
    }
}

TEST_F(Outputs, AnotherUsersLinkInAStickyWorldWritableDirectoryIsNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to give a link to another user";
    const std::string shared = file("tmp");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    std::ofstream(file("victim")) << "precious\n";
    const std::string planted = shared + "/r.json";
    ASSERT_EQ(symlink(file("victim").c_str(), planted.c_str()), 0);
    ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);  // nobody's

    const auto run = bench({"--programs", "corvane-serial", "--json", planted});
    EXPECT_EQ(run.exit_status, 2) << run.err;
    EXPECT_NE(run.err.find("is not followed"), std::string::npos) << run.err;
    EXPECT_EQ(text_of(file("victim")), "precious\n");
    const auto report = plain({"report", file("a.json"), "--markdown", planted});
    EXPECT_EQ(report.exit_status, 2) << report.err;
    EXPECT_EQ(text_of(file("victim")), "precious\n");

    // Anywhere in the path: a planted link to a directory is not followed either.
    ASSERT_EQ(mkdir(file("elsewhere").c_str(), 0755), 0);
    const std::string dirlink = shared + "/dirlink";
    ASSERT_EQ(symlink(file("elsewhere").c_str(), dirlink.c_str()), 0);
    ASSERT_EQ(lchown(dirlink.c_str(), 65534, 65534), 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--programs", "corvane-serial", "--csv", dirlink + "/r.csv"},
          {"--programs", "corvane-serial", "--json", file("tmp/../tmp/dirlink/./r.json")}}) {
        const auto through = bench(args);
        EXPECT_EQ(through.exit_status, 2) << through.err;
        EXPECT_NE(through.err.find(dirlink + " is a symbolic link of another user"), std::string::npos)
            << through.err;
    }
    EXPECT_EQ(plain({"report", file("a.json"), "--html", dirlink + "/r.html"}).exit_status, 2);
    EXPECT_EQ(plain({"compare", file("a.json"), file("b.json"), "--markdown", dirlink + "/r.md"}).exit_status,
              2);
    EXPECT_EQ(access(file("elsewhere/r.csv").c_str(), F_OK), -1) << "nothing written through the link";

    // One's own link there is followed, and so is one in a directory without the sticky bit.
    ASSERT_EQ(lchown(planted.c_str(), 0, 0), 0);
    EXPECT_EQ(plain({"report", file("a.json"), "--markdown", planted}).exit_status, 0);
    EXPECT_NE(text_of(file("victim")).find("# Corvane results"), std::string::npos);
    ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    EXPECT_EQ(plain({"report", file("a.json"), "--html", planted}).exit_status, 0);
}

// A device is opened before the runs as the export will open it: without a
// terminal (setsid), /dev/tty is refused at once, not after hours of runs.
TEST_F(Outputs, AnExportThatCannotBeOpenedIsRefusedBeforeTheRuns) {
    run_options options;
    options.timeout_s = 60;
    const auto run = run_program("/usr/bin/setsid",
                                 {"--wait", CORVANE_BENCH, "--bin-dir", dir_, "--runs", "1", "--programs",
                                  "corvane-serial", "--json", "/dev/tty"},
                                 options);
    EXPECT_EQ(run.exit_status, 2) << run.err;
    EXPECT_NE(run.err.find("cannot write /dev/tty: "), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << "no run started";
}

TEST_F(Outputs, EmptyValuesAreUsageErrorsNamingTheirOption) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--programs", "corvane-serial", "--json", ""}, "--json: an empty value"},
        {{"--programs", "corvane-serial", "--csv", ""}, "--csv: an empty value"},
        {{"--threads", ""}, "--threads: an empty value"},
        {{"--ranks", ""}, "--ranks: an empty value"},
        {{"--programs", ""}, "--programs: an empty value"},
        {{"--programs", "corvane-serial,"}, "--programs: 'corvane-serial,' is not a comma-separated list"},
        {{"--programs", ",corvane-serial"}, "--programs: ',corvane-serial' is not a comma-separated list"},
        {{"--programs", "corvane-serial,,corvane-omp"}, "is not a comma-separated list"},
    };
    for (const auto& [args, message] : cases) {
        const auto run = bench(args);
        EXPECT_EQ(run.exit_status, 2) << message << ": " << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << message;
    }
    for (const auto& args :
         {std::vector<std::string>{"--programs", "corvane-serial", "--bin-dir", ""},
          std::vector<std::string>{"report", file("a.json"), "--html", ""},
          std::vector<std::string>{"report", file("a.json"), "--markdown", ""},
          std::vector<std::string>{"compare", file("a.json"), file("b.json"), "--markdown", ""}}) {
        const auto run = plain(args);
        EXPECT_EQ(run.exit_status, 2) << args[0] << ": " << run.err;
        const std::string option = args[args.size() - 2];
        EXPECT_NE(run.err.find(option + ": an empty value"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << "nothing written in another format instead";
    }
}

TEST_F(Outputs, AnExportToAClosedStandardOutputIsNotWritten) {
    for (const std::string path : {"-", "/dev/stdout", "/dev/fd/1"}) {
        const auto run = bench({"--programs", "corvane-serial", "--json", path}, {});
        EXPECT_EQ(run.exit_status, 0) << path << ": " << run.err;  // open, it works
        run_options options;
        options.timeout_s = 60;
        options.target = corvane::process::stdout_to::closed;
        const auto closed = run_program(
            CORVANE_BENCH, {"--bin-dir", dir_, "--runs", "1", "--programs", "corvane-serial", "--json", path},
            options);
        EXPECT_EQ(closed.exit_status, 3) << path << ": " << closed.err;
        EXPECT_NE(closed.err.find("results not written"), std::string::npos) << closed.err;
    }
    EXPECT_EQ(plain({"report", file("a.json")}, corvane::process::stdout_to::closed).exit_status, 3);
    EXPECT_EQ(plain({"report", file("a.json"), "--html", "/dev/stdout"}, corvane::process::stdout_to::closed)
                  .exit_status,
              3);
    EXPECT_EQ(plain({"report", file("a.json")}).exit_status, 0);
    // What --version and --help print is the whole of what they do.
    for (const auto target : {corvane::process::stdout_to::closed, corvane::process::stdout_to::full_device})
        for (const std::vector<std::string>& args : {std::vector<std::string>{"--version"},
                                                     {"--help"},
                                                     {"compare", "--help"},
                                                     {"report", "--help"}}) {
            const auto run = plain(args, target);
            EXPECT_EQ(run.exit_status, 3) << args.back() << ": " << run.err;
            EXPECT_NE(run.err.find("cannot write to standard output"), std::string::npos) << run.err;
        }
}

TEST_F(Outputs, CompareJsonRefusesEveryNameOfStandardOutputForTheMarkdown) {
    for (const std::string path : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        const auto run = plain({"compare", file("a.json"), file("b.json"), "--json", "--markdown", path});
        EXPECT_EQ(run.exit_status, 2) << path << ": " << run.err;
        EXPECT_NE(run.err.find("--json already goes to standard output"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << path;
    }
    const auto apart =
        plain({"compare", file("a.json"), file("b.json"), "--json", "--markdown", file("c.md")});
    EXPECT_EQ(apart.exit_status, 0) << apart.err;
    EXPECT_EQ(nlohmann::json::parse(apart.out).is_object(), true);
}
