#include <windows.h>

#include <vector>

#include "tools/kernels/command_line.hpp"
#include "tools/kernels/system.hpp"

namespace corvane::kernels {

std::string own_program_path() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            throw tool_error("cannot find this program's file: error " + std::to_string(GetLastError()), 1);
        if (length < path.size()) return std::string(path.data(), length);
        path.resize(path.size() * 2);  // cut short: a longer path than MAX_PATH
    }
}

double processor_time_ms() {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0.0;
    auto ticks = [](const FILETIME& t) {  // 100 ns each
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e4;
}

int pin_to_current_processor() {
    // The number within the processor group the process runs in, which is
    // what its affinity mask counts. Children inherit the mask.
    const DWORD cpu = GetCurrentProcessorNumber();
    if (cpu >= 8 * sizeof(DWORD_PTR)) return -1;
    const DWORD_PTR only = static_cast<DWORD_PTR>(1) << cpu;
    return SetProcessAffinityMask(GetCurrentProcess(), only) ? static_cast<int>(cpu) : -1;
}

// stat knows no devices (NUL, CON): they are opened and asked instead.
file_kind kind_of_file(const std::string& path, std::string& why) {
    const HANDLE named =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);  // directories too
    if (named == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return file_kind::none;
        why = "Windows error " + std::to_string(error);
        return file_kind::unknown;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool regular = GetFileType(named) == FILE_TYPE_DISK && GetFileInformationByHandle(named, &info) &&
                         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(named);
    return regular ? file_kind::regular : file_kind::other;
}

// Windows has no inode numbers in stat: a file is the same if its volume
// and file index are.
bool is_standard_output(const std::string& path) {
    const HANDLE named = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const bool same = GetFileInformationByHandle(named, &a) &&
                      GetFileInformationByHandle(GetStdHandle(STD_OUTPUT_HANDLE), &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

}  // namespace corvane::kernels
