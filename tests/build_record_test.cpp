// Each program's own build: the record read from an executable's bytes, the
// records the real programs carry, and what the harness and compare make of
// them.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/base/error.hpp"
#include "bench/compare/compare.hpp"
#include "bench/report/report.hpp"
#include "bench/run/build_record.hpp"
#include "tests/stand_ins.hpp"

using namespace corvane::bench;
using namespace corvane::bench::testing;

namespace {

// A record as the build writes one, with this build type and these flags.
std::string record(const std::string& build_type, const std::string& flags,
                   const std::string& commit = "14c4f35abc12",
                   const std::string& program = "corvane-serial") {
    return std::string(build_record_marker) + "program=" + program + "\nversion=0.1.0\ncommit=" + commit +
           "\ncompiler=GNU 12.2.0\nflags=" + flags + "\nbuild_type=" + build_type +
           "\nkernel_paths=sse2 avx2 avx512\nopenmp_runtime=none\n" + std::string(1, '\0');
}
const std::string release = record("Release", "-O3 -DNDEBUG -ffp-contract=off -fno-fast-math");
const std::string debug = record("Debug", "-g -ffp-contract=off -fno-fast-math");

std::string unknown_reason(const std::string& bytes) { return parse_build_record(bytes).unknown; }

program_build built(const std::string& build_type, const std::string& flags,
                    const std::string& program = "corvane-serial") {
    return parse_build_record(record(build_type, flags, "14c4f35abc12", program));
}

}  // namespace

TEST(BuildRecord, IsFoundAmongTheBytesAroundIt) {
    const std::string elf_like = std::string(
                                     "\x7f"
                                     "ELF\0\0\x01garbage",
                                     14) +
                                 release + "more\0bytes";
    const program_build build = parse_build_record(elf_like);
    EXPECT_EQ(build.unknown, "");
    EXPECT_EQ(build.build_type, "Release");
    EXPECT_EQ(build.compiler, "GNU 12.2.0");
    EXPECT_EQ(build.flags, "-O3 -DNDEBUG -ffp-contract=off -fno-fast-math");
    EXPECT_EQ(build.commit, "14c4f35abc12");
    EXPECT_EQ(build.kernel_paths, "sse2 avx2 avx512");
    EXPECT_EQ(build.openmp_runtime, "none");
    EXPECT_EQ(build.mpi_library, "");
}

TEST(BuildRecord, IsUnknownWithAReasonWhenAbsentCutOffOversizedOrGarbled) {
    EXPECT_EQ(unknown_reason("#!/bin/sh\nprintf 'hello'\n"), "no build record in the file");
    EXPECT_EQ(unknown_reason(release.substr(0, release.size() - 20)),
              "its build record is cut off before its end");
    EXPECT_EQ(unknown_reason(std::string(build_record_marker) + "flags=" + std::string(5000, 'O') + "\n" +
                             std::string(1, '\0')),
              "its build record is longer than 4096 bytes");
    const std::string marker(build_record_marker);
    EXPECT_EQ(unknown_reason(marker + "commit=a\nnonsense\n" + std::string(1, '\0')),
              "its build record is malformed: line 2 is not NAME=VALUE");
    EXPECT_EQ(unknown_reason(marker + "commit=a\x1b[2J\n" + std::string(1, '\0')),
              "its build record is malformed: line 1 holds a control character");
    EXPECT_EQ(unknown_reason(marker + "commit=a\ncommit=b\n" + std::string(1, '\0')),
              "its build record is malformed: line 2 repeats commit");
    EXPECT_EQ(unknown_reason(marker + "commit=a" + std::string(1, '\0')),
              "its build record is malformed: line 1 has no end");
    EXPECT_EQ(unknown_reason(marker + "commit=a\ncompiler=GNU\nflags=-O2\n" + std::string(1, '\0')),
              "its build record lacks build_type");
}

TEST(BuildRecord, KeysALaterVersionAddsAreSkipped) {
    std::string later = release;
    later.insert(build_record_marker.size(), "linker=GNU ld 2.40\n");
    EXPECT_EQ(parse_build_record(later).unknown, "");
    EXPECT_EQ(parse_build_record(later).build_type, "Release");
}

TEST(BuildRecord, IsReadFromAFileAcrossItsChunksAndOnlyUpToItsLongestLength) {
    char name[] = "/tmp/corvane-build-record-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    // The marker split across the reader's 64 KiB chunks, deep in a large file.
    std::ofstream(name, std::ios::binary)
        << std::string((1 << 16) * 3 - 7, '\x90') << debug << std::string(1 << 20, '\0');
    EXPECT_EQ(read_build_record(name).build_type, "Debug");
    std::ofstream(name, std::ios::binary) << std::string(100000, 'x');
    EXPECT_EQ(read_build_record(name).unknown, "no build record in the file");
    std::remove(name);
    EXPECT_NE(read_build_record(name).unknown.find("cannot read"), std::string::npos);
}

// A file named as a program may be huge and sparse (a 50 GB one took a
// minute): it is searched as far as a program's constants reach, no further.
TEST(BuildRecord, IsSoughtOnlyInAFilesFirstPartSoAHugeFileCostsAMoment) {
    char name[] = "/tmp/corvane-build-record-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    // A record just beyond the bound, behind a hole that costs no disk.
    const std::string record = std::string(debug) + std::string(16, '\0');
    ASSERT_EQ(pwrite(fd, record.data(), record.size(), static_cast<off_t>(build_record_search_bytes + 4096)),
              static_cast<ssize_t>(record.size()));
    close(fd);
    EXPECT_EQ(read_build_record(name).unknown, "no build record in its first 64 MiB");
    // And one within it is found.
    ASSERT_EQ(truncate(name, 0), 0);
    const int again = open(name, O_WRONLY);
    ASSERT_EQ(
        pwrite(again, record.data(), record.size(), static_cast<off_t>(build_record_search_bytes - 8192)),
        static_cast<ssize_t>(record.size()));
    close(again);
    EXPECT_EQ(read_build_record(name).build_type, "Debug");
    std::remove(name);
}

TEST(BuildRecord, DebugNoOptimisationLevelAndOZeroLastAreUnoptimised) {
    EXPECT_TRUE(unoptimised(built("Debug", "-g -O2")));
    EXPECT_TRUE(unoptimised(built("", "-ffp-contract=off")));
    EXPECT_TRUE(unoptimised(built("Release", "-O3 -O0")));
    EXPECT_FALSE(unoptimised(built("Release", "-O0 -O2")));
    EXPECT_FALSE(unoptimised(built("RelWithDebInfo", "-O2 -g -DNDEBUG")));
}

TEST(BuildRecord, WarningsNameTheUnoptimisedTheUnknownAndWhatNeighboursDoNotShare) {
    const std::map<std::string, program_build> builds = {
        {"corvane-omp", built("Release", "-O3", "corvane-omp")},
        {"corvane-serial", built("Debug", "-g")},
        {"corvane-serial-simd", parse_build_record("")},
    };
    EXPECT_EQ(build_warnings(builds),
              (std::vector<std::string>{
                  "corvane-serial was built unoptimised (Debug, flags -g): its times are not those of an "
                  "optimised build",
                  "corvane-serial-simd: build unknown (no build record in the file): nothing says how the "
                  "times it reports were built",
                  "the programs were built with different flags: -O3 (corvane-omp); -g (corvane-serial)",
                  "the programs were built with different build type: Debug (corvane-serial); Release "
                  "(corvane-omp)"}));
    EXPECT_TRUE(build_warnings({{"corvane-omp", built("Release", "-O3", "corvane-omp")},
                                {"corvane-serial", built("Release", "-O3")}})
                    .empty());
}

TEST(BuildRecord, AFileWhoseRecordNamesAnotherProgramIsWarnedAbout) {
    EXPECT_EQ(
        build_warnings({{"corvane-omp", built("Release", "-O3", "corvane-serial")}}),
        (std::vector<std::string>{"corvane-omp is corvane-serial under another name, as its build record "
                                  "says: its times are not corvane-omp's"}));
    // Names that contain one another are still other programs.
    for (const auto& [file, record] : {std::pair{"corvane-omp-simd", "corvane-omp"},
                                       {"corvane-omp", "corvane-omp-simd"},
                                       {"corvane-serial-simd", "corvane-serial"}})
        EXPECT_EQ(build_warnings({{file, built("Release", "-O3", record)}}),
                  (std::vector<std::string>{
                      std::string(file) + " is " + record +
                      " under another name, as its build record says: its times are not " + file + "'s"}))
            << file;
}

TEST(BuildRecord, CompareNamesADifferingBuildButNotANewCommit) {
    suite_result before, after;
    before.context.program_builds["corvane-serial"] = parse_build_record(record("Release", "-O3", "aaaa"));
    after.context.program_builds["corvane-serial"] = parse_build_record(record("Debug", "-O3", "bbbb"));
    EXPECT_EQ(compare_results(before, after, 0.01).context_differences,
              (std::vector<std::string>{"corvane-serial build type differs: old Release, new Debug"}));
    after.context.program_builds["corvane-serial"] = parse_build_record("");
    EXPECT_EQ(compare_results(before, after, 0.01).context_differences,
              (std::vector<std::string>{"corvane-serial build differs: old recorded, new unknown"}));
}

// The programs this build made, each with the record of this build.
TEST(BuiltPrograms, CarryARecordOfTheirOwnBuild) {
    std::vector<std::pair<std::string, bool>> programs = {{"corvane-serial", false},
                                                          {"corvane-serial-simd", false}};
#if defined(CORVANE_HAVE_OPENMP)
    for (const char* name : {"corvane-omp", "corvane-omp-simd", "corvane-autopar"})
        programs.emplace_back(name, true);
#endif
#if defined(CORVANE_HAVE_MPI)
    programs.emplace_back("corvane-mpi", true);
#endif
    for (const auto& [program, openmp] : programs) {
        const program_build build = read_build_record(std::string(CORVANE_BIN_DIR) + "/" + program);
        EXPECT_EQ(build.unknown, "") << program;
        EXPECT_EQ(build.program, program);
        EXPECT_EQ(build.build_type, CORVANE_BUILD_TYPE) << program;
        EXPECT_NE(build.commit, "") << program;
        EXPECT_NE(build.compiler, "") << program;
        EXPECT_NE(build.kernel_paths, "") << program;
        EXPECT_EQ(build.openmp_runtime == "none", !openmp) << program << ": " << build.openmp_runtime;
        EXPECT_EQ(build.mpi_library.empty(), program != "corvane-mpi")
            << program << ": " << build.mpi_library;
    }
}

class BuildRecords : public StandIns {
protected:
    // A stand-in that reports as the programs do, followed by a record
    // that the shell never reaches.
    void stand_in_with_record(const std::string& program, const std::string& bytes) {
        stand_in(program, "printf '" + escaped(quick_output) + "'\nexit 0\n" + bytes);
    }
};

TEST_F(BuildRecords, AProgramWithoutARecordIsRunAndMarkedBuildUnknown) {
    const auto run = bench({"--programs", "corvane-serial", "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("warning: corvane-serial: build unknown (no build record in the file)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("programs' build: build unknown"), std::string::npos) << run.out;
    const auto result = read_json(file("r.json"));
    EXPECT_EQ(result["context"]["program_builds"]["corvane-serial"]["unknown"],
              "no build record in the file");
    EXPECT_EQ(result["cells"][0]["valid_runs"], 2);
}

TEST_F(BuildRecords, ADebugBuildIsNamedAndWarnedAboutBeforeTheFigures) {
    stand_in_with_record("corvane-serial", debug);
    stand_in_with_record("corvane-serial-simd",
                         record("Release", "-O3 -DNDEBUG -ffp-contract=off -fno-fast-math", "14c4f35abc12",
                                "corvane-serial-simd"));
    const auto run = bench({"--programs", "corvane-serial,corvane-serial-simd", "--json", file("r.json")});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const auto table = run.out.find("\nprogram ");
    ASSERT_NE(table, std::string::npos) << run.out;
    for (const std::string expected :
         {"corvane-serial build: Debug, GNU 12.2.0, commit 14c4f35abc12, flags -g",
          "warning: corvane-serial was built unoptimised (Debug, flags -g",
          "warning: the programs were built with different build type: Debug (corvane-serial); Release "
          "(corvane-serial-simd)"})
        EXPECT_LT(run.out.find(expected), table) << expected << "\n" << run.out;
    EXPECT_EQ(run.out.find("under another name"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("corvane-bench's build: corvane "), std::string::npos) << run.out;

    // The JSON keeps both builds, and reads back as it was written.
    const auto builds = read_json(file("r.json"))["context"]["program_builds"];
    EXPECT_EQ(builds["corvane-serial"]["build_type"], "Debug");
    EXPECT_EQ(builds["corvane-serial-simd"]["flags"], "-O3 -DNDEBUG -ffp-contract=off -fno-fast-math");
    const suite_result read = read_result(file("r.json"));
    EXPECT_EQ(read.context.program_builds.at("corvane-serial").kernel_paths, "sse2 avx2 avx512");
    EXPECT_EQ(read.context.program_builds.at("corvane-serial").unknown, "");
}

TEST_F(BuildRecords, AResultWithoutProgramBuildsIsStillRead) {
    const auto run = bench({"--programs", "corvane-serial", "--json", file("r.json")});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    auto older = read_json(file("r.json"));
    older["context"].erase("program_builds");
    std::ofstream(file("old.json")) << older.dump();
    EXPECT_TRUE(read_result(file("old.json")).context.program_builds.empty());
    older["context"]["program_builds"] = {{"corvane-serial", "Release"}};
    std::ofstream(file("bad.json")) << older.dump();
    EXPECT_THROW(read_result(file("bad.json")), bench_error);
}
