// The export writer: a set of files written whole or not at all, streams
// and the harness's own descriptors written through, concurrent sets kept
// apart. A hard link to the old file shows whether it was replaced (the
// name points elsewhere) or rewritten in place (the link sees new text).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "bench/write/file_commit.hpp"
#include "process/process.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

namespace {

ino_t inode_of(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// The writer's temporary and set-aside files left in a directory.
std::string leftovers(const std::string& dir) {
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().rfind(".cv-", 0) == 0)
            names += entry.path().filename().string() + " ";
    return names;
}

class Exports : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        std::signal(SIGPIPE, SIG_IGN);  // as the harness does: a closed pipe is an error, not an end
    }
    // An old export, with a hard link that keeps its first inode in view.
    void old_file(const std::string& name) {
        std::filesystem::create_directories(std::filesystem::path(file(name)).parent_path());
        std::ofstream(file(name)) << "old\n";
        ASSERT_EQ(link(file(name).c_str(), file(name + ".kept").c_str()), 0);
    }
    void expect_untouched(const std::string& name) {
        EXPECT_EQ(inode_of(file(name)), inode_of(file(name + ".kept"))) << name << " was replaced";
        EXPECT_EQ(text_of(file(name + ".kept")), "old\n") << name << " was rewritten in place";
        EXPECT_EQ(leftovers(std::filesystem::path(file(name)).parent_path()), "");
    }
};

TEST_F(Exports, DescriptorPathsAreWrittenThroughTheDescriptorKeepingItsAppendMode) {
    std::ofstream(file("results.log")) << "old\n";
    const ino_t log = inode_of(file("results.log"));
    const int fd = open(file("results.log").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    const std::string n = std::to_string(fd);
    ASSERT_EQ(symlink(("/dev/fd/" + n).c_str(), file("via-link").c_str()), 0);
    for (const std::string& path : {"/proc/self/fd/" + n, "/dev/fd/" + n, file("via-link")})
        EXPECT_EQ(commit_files({{"--csv", path, path + "\n"}}).problem, "");

    // /dev/stdout: standard output sent to the log, as `>> results.log`.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    const auto to_stdout = commit_files({{"--json", "/dev/stdout", "stdout\n"}});
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    EXPECT_EQ(to_stdout.problem, "");
    EXPECT_EQ(text_of(file("results.log")),
              "old\n/proc/self/fd/" + n + "\n/dev/fd/" + n + "\n" + file("via-link") + "\nstdout\n");
    EXPECT_EQ(inode_of(file("results.log")), log) << "the redirect's file was replaced";
}

TEST_F(Exports, StandardOutputByAnyNameIsOneTargetAndMovesTheTable) {
    for (const auto& other : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        EXPECT_NE(check_targets({{"--json", "-", ""}, {"--csv", other, ""}})
                      .find("another export already goes there"),
                  std::string::npos)
            << other;
        EXPECT_TRUE(any_to_stdout({{"--csv", other, ""}})) << other;
    }
    EXPECT_FALSE(any_to_stdout({{"--csv", "/dev/stderr", ""}, {"--json", file("r.json"), ""}}));
    EXPECT_EQ(check_targets({{"--csv", "/dev/fd/1", ""}, {"--json", "/dev/stderr", ""}}), "");
    EXPECT_NE(check_targets({{"--csv", "/dev/fd/9999", ""}}).find("cannot write /dev/fd/9999"),
              std::string::npos);
}

TEST_F(Exports, AStreamThatFailsReplacesNoFile) {
    old_file("a.json");
    const auto full = commit_files({{"--json", file("a.json"), "new\n"}, {"--csv", "/dev/full", "new\n"}});
    EXPECT_NE(full.problem.find("cannot write /dev/full: No space left on device"), std::string::npos)
        << full.problem;
    expect_untouched("a.json");

    // A pipe whose reader has gone, as with `| true`.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const std::string closed = "/dev/fd/" + std::to_string(ends[1]);
    const auto broken = commit_files({{"--json", file("a.json"), "new\n"}, {"--csv", closed, "new\n"}});
    close(ends[1]);
    EXPECT_NE(broken.problem.find("Broken pipe"), std::string::npos) << broken.problem;
    expect_untouched("a.json");
}

TEST_F(Exports, ALaterExportThatFailsLeavesTheEarlierTargetsAsTheyWere) {
    old_file("other/r.json");
    std::filesystem::create_directory(file("gone"));
    const std::vector<pending_file> set{{"--json", file("other/r.json"), "new\n"},
                                        {"--csv", file("gone/r.csv"), "new\n"}};
    ASSERT_EQ(check_targets(set), "");

    // The CSV's directory vanishes after the check...
    std::filesystem::remove_all(file("gone"));
    EXPECT_NE(commit_files(set).problem.find("cannot write " + file("gone/r.csv")), std::string::npos);
    expect_untouched("other/r.json");

    // ...or once the JSON is already renamed into place.
    std::filesystem::create_directory(file("gone"));
    const auto late = commit_files(set, {[this] { std::filesystem::remove_all(file("gone")); }});
    EXPECT_NE(late.problem.find("cannot write " + file("gone/r.csv")), std::string::npos) << late.problem;
    expect_untouched("other/r.json");

    // A directory made where a new export goes: the earlier new file goes too.
    const auto blocked =
        commit_files({{"--csv", file("new.csv"), "new\n"}, {"--json", file("b.json"), "new\n"}},
                     {[this] { std::filesystem::create_directory(file("b.json")); }});
    EXPECT_NE(blocked.problem.find("cannot write " + file("b.json")), std::string::npos) << blocked.problem;
    EXPECT_FALSE(std::filesystem::exists(file("new.csv")));
}

TEST_F(Exports, WaitingForAFifoReaderEndsOnAnInterruptAndReplacesNothing) {
    old_file("a.json");
    ASSERT_EQ(mkfifo(file("fifo").c_str(), 0600), 0);
    corvane::process::catch_interrupts();  // inherited by the writer below
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        close(ready[0]);
        ssize_t told = write(ready[1], "w", 1);
        const auto outcome =
            commit_files({{"--json", file("a.json"), "new\n"}, {"--csv", file("fifo"), "new\n"}});
        _exit(told == 1 && outcome.interrupted_by == SIGINT && outcome.problem.empty() ? 0 : 1);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // now waiting for a reader
    kill(writer, SIGINT);
    int status = -1;
    for (int waited = 0; waited < 500 && waitpid(writer, &status, WNOHANG) == 0; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (kill(writer, 0) == 0 && status == -1) {
        kill(writer, SIGKILL);
        waitpid(writer, &status, 0);
        FAIL() << "the writer went on waiting after SIGINT";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    expect_untouched("a.json");
}

TEST_F(Exports, AFifoIsWrittenWhenItsReaderComes) {
    ASSERT_EQ(mkfifo(file("fifo").c_str(), 0600), 0);
    auto reader = std::async(std::launch::async, [this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return text_of(file("fifo"));
    });
    const std::string big(200000, 'x');  // more than a pipe holds
    EXPECT_EQ(commit_files({{"--csv", file("fifo"), big}}).problem, "");
    EXPECT_EQ(reader.get(), big);
}

TEST_F(Exports, NamesUpTo255BytesPassTheCheckAndAreWritten) {
    const std::string longest = std::string(249, 'r') + ".json";  // 254 bytes, and 255 with "n"
    std::ofstream(file(longest)) << "old\n";
    const std::vector<pending_file> set{{"--json", file(longest), "new\n"},
                                        {"--csv", file("n" + longest), "new\n"}};
    ASSERT_EQ(check_targets(set), "");
    EXPECT_EQ(leftovers(dir_), "") << "the check left a file";
    ASSERT_EQ(commit_files(set).problem, "");
    EXPECT_EQ(text_of(file(longest)), "new\n");
    EXPECT_EQ(text_of(file("n" + longest)), "new\n");
    EXPECT_NE(check_targets({{"--csv", file("nn" + longest), ""}}).find("File name too long"),
              std::string::npos);
}

TEST_F(Exports, ABindMountedFileIsRefusedBeforeTheRuns) {
    // In a mount namespace of this test's own, so nothing outlives it.
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
    std::ofstream(file("volume")) << "host\n";
    std::ofstream(file("r.json")) << "old\n";
    if (mount(file("volume").c_str(), file("r.json").c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "mount --bind does not work here: " << std::strerror(errno);
    std::ofstream(file("other")) << "x";
    EXPECT_NE(std::rename(file("other").c_str(), file("r.json").c_str()), 0) << "a rename would have worked";
    EXPECT_NE(check_targets({{"--json", file("r.json"), ""}}).find("it is a mount point"), std::string::npos);
    umount(file("r.json").c_str());
}

TEST_F(Exports, TwoWritersOfOneSetNeverMixTheirFiles) {
    const auto set = [this](const std::string& run) {
        return std::vector<pending_file>{{"--json", file("r.json"), run}, {"--csv", file("r.csv"), run}};
    };
    std::promise<void> first_renamed;
    commit_seams slow{[&first_renamed] {
        first_renamed.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }};
    auto a = std::async(std::launch::async, [&] { return commit_files(set("a"), slow); });
    first_renamed.get_future().wait();
    EXPECT_EQ(commit_files(set("b")).problem, "");
    EXPECT_EQ(a.get().problem, "");
    EXPECT_EQ(text_of(file("r.json")), text_of(file("r.csv"))) << "the sets mixed";
}

TEST_F(Exports, ASecondWriterGivesUpClearlyAfterItsWait) {
    std::promise<void> first_renamed;
    commit_seams stalled{[&first_renamed] {
        first_renamed.set_value();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }};
    auto a = std::async(std::launch::async, [&] {
        return commit_files({{"--json", file("r.json"), "a"}, {"--csv", file("r.csv"), "a"}}, stalled);
    });
    first_renamed.get_future().wait();
    commit_seams impatient;
    impatient.lock_wait_s = 0.2;
    const auto b = commit_files({{"--csv", file("r.csv"), "b"}}, impatient);
    EXPECT_NE(b.problem.find("cannot write into " + dir_ +
                             ": another run was still writing its exports there after 0.2 s"),
              std::string::npos)
        << b.problem;
    EXPECT_EQ(a.get().problem, "");
    EXPECT_EQ(text_of(file("r.csv")), "a");
    EXPECT_EQ(leftovers(dir_), "");
}

TEST_F(Exports, ASymbolicLinkLoopIsRefusedAndLeftAsItIs) {
    ASSERT_EQ(symlink("b", file("a").c_str()), 0);
    ASSERT_EQ(symlink("a", file("b").c_str()), 0);
    EXPECT_EQ(check_targets({{"--json", file("a"), ""}}),
              "cannot write " + file("a") + ": a loop of symbolic links");
    EXPECT_NE(commit_files({{"--json", file("a"), "new"}}).problem, "");
    struct stat info {};
    ASSERT_EQ(lstat(file("a").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

}  // namespace
