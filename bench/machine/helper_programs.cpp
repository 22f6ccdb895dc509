#include "bench/machine/helper_programs.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>

namespace corvane::bench {

std::string find_on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
    return "";
}

std::string own_directory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string exe(path, static_cast<std::size_t>(length));
    return exe.substr(0, exe.find_last_of('/'));
}

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string first_missing_program(const std::string& dir, const std::vector<std::string>& names) {
    for (const auto& name : names)
        if (!is_executable_file(dir + "/" + name)) return name;
    return "";
}

bool is_readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

std::string installed_helper_directory() { return own_directory() + "/" + CORVANE_HELPER_DIR; }

std::string find_helper(const std::string& name, const std::string& beside) {
    for (const auto& dir : {beside, beside + "/" + CORVANE_HELPER_DIR})
        if (is_executable_file(dir + "/" + name)) return dir + "/" + name;
    return find_on_path(name);
}

}  // namespace corvane::bench
