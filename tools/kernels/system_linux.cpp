#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "tools/kernels/command_line.hpp"
#include "tools/kernels/system.hpp"

namespace corvane::kernels {

std::string own_program_path() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        throw tool_error(std::string("cannot find this program's file: ") + std::strerror(errno), 1);
    return std::string(path, static_cast<std::size_t>(length));
}

double processor_time_ms() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

int pin_to_current_processor() {
    const int cpu = sched_getcpu();
    if (cpu < 0) return -1;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    return sched_setaffinity(0, sizeof only, &only) == 0 ? cpu : -1;  // children inherit it
}

file_kind kind_of_file(const std::string& path, std::string& why) {
    struct stat named {};
    if (stat(path.c_str(), &named) != 0) {
        if (errno == ENOENT) return file_kind::none;
        why = std::strerror(errno);
        return file_kind::unknown;
    }
    return S_ISREG(named.st_mode) ? file_kind::regular : file_kind::other;
}

bool is_standard_output(const std::string& path) {
    struct stat named {};
    struct stat out {};
    return stat(path.c_str(), &named) == 0 && fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == named.st_dev &&
           out.st_ino == named.st_ino;
}

}  // namespace corvane::kernels
