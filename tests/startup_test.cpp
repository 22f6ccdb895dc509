// What a program loads before main: the start-up that every run pays
// outside its timed interval. The C++ runtime is linked in, not loaded.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "process/process.hpp"

using namespace corvane::process;

namespace {

// The programs this build has, as CMake lists them: "corvane-serial,...".
std::vector<std::string> programs() {
    std::vector<std::string> names;
    const std::string list = CORVANE_PROGRAMS;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        names.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

// The shared libraries the file names as needed, as readelf lists them.
std::vector<std::string> needed_libraries(const std::string& path) {
    const program_run run = run_program("/usr/bin/readelf", {"--dynamic", "--wide", path});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    std::vector<std::string> needed;
    const std::string marker = "Shared library: [";
    for (const std::string& line : lines_of(run.out)) {
        const auto at = line.find(marker);
        if (line.find("(NEEDED)") == std::string::npos || at == std::string::npos) continue;
        const auto start = at + marker.size();
        needed.push_back(line.substr(start, line.find(']', start) - start));
    }
    return needed;
}

}  // namespace

TEST(StartUp, TheProgramsLoadNoCxxRuntime) {
#ifndef CORVANE_CXX_RUNTIME_LINKED_IN
    GTEST_SKIP() << "this build loads the C++ runtime (a sanitizer build, or a compiler without the option)";
#else
    if (access("/usr/bin/readelf", X_OK) != 0) GTEST_SKIP() << "readelf (Debian: binutils) is not installed";
    for (const std::string& program : programs()) {
        const std::vector<std::string> needed =
            needed_libraries(std::string(CORVANE_BIN_DIR) + "/" + program);
        EXPECT_FALSE(needed.empty()) << program << ": no libraries listed (libc at least)";
        for (const std::string& library : needed)
            for (const char* runtime : {"libstdc++", "libgcc_s", "libc++"})
                EXPECT_EQ(library.find(runtime), std::string::npos) << program << " loads " << library;
    }
#endif
}
