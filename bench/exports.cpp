#include "bench/exports.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace corvane::bench {

namespace {

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// Where writing `path` really goes: a symbolic link's target (resolved even
// when it does not exist yet), in a canonical directory.
std::string target_of(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        return path;  // a FIFO or a device, written as it is
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
        char link[PATH_MAX];
        const ssize_t length = readlink(target.c_str(), link, sizeof link - 1);
        if (length <= 0) break;
        const std::string to(link, static_cast<std::size_t>(length));
        target = to[0] == '/' ? to : directory_of(target) + "/" + to;
    }
    char directory[PATH_MAX];
    if (!realpath(directory_of(target).c_str(), directory)) return target;
    return std::string(directory) + "/" + base_of(target);
}

bool is_special(const std::string& target) {
    struct stat info {};
    return stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

std::string failure(const std::string& path) { return "cannot write " + path + ": " + std::strerror(errno); }

}  // namespace

bool any_to_stdout(const std::vector<export_file>& files) {
    for (const auto& file : files)
        if (file.path == "-") return true;
    return false;
}

std::string check_exports(const std::vector<export_file>& files) {
    std::set<std::string> seen;
    for (const auto& file : files) {
        const std::string target = file.path == "-" ? "-" : target_of(file.path);
        if (!seen.insert(target).second)
            return file.option + " " + file.path + ": another export already goes there";
        if (file.path == "-") continue;
        struct stat info {};
        if (stat(target.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) return "cannot write " + file.path + ": it is a directory";
            if (!S_ISREG(info.st_mode)) {
                if (access(target.c_str(), W_OK) != 0) return failure(file.path);
                continue;  // written directly
            }
        }
        // A new file is made in the directory and renamed over the target.
        const std::string directory = directory_of(target);
        if (access(directory.c_str(), W_OK | X_OK) != 0) return failure(file.path);
    }
    return "";
}

std::string write_exports(const std::vector<export_file>& files) {
    struct prepared {
        std::string temporary, target;
    };
    std::vector<prepared> ready;
    const auto discard = [&ready] {
        for (const auto& p : ready) std::remove(p.temporary.c_str());
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const auto& file : files) {
        if (file.path == "-") continue;
        const std::string target = target_of(file.path);
        if (is_special(target)) continue;
        std::string temporary = directory_of(target) + "/." + base_of(target) + ".corvane-XXXXXX";
        const int fd = mkstemp(temporary.data());
        if (fd < 0) {
            const std::string reason = failure(file.path);
            discard();
            return reason;
        }
        ready.push_back({temporary, target});
        // mkstemp makes the file private; give it the mode the file had, or
        // the one any new file gets.
        struct stat existing {};
        fchmod(fd, stat(target.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0666 & ~mask);
        bool written = write_all(fd, file.text) && fsync(fd) == 0;
        int error = errno;
        if (::close(fd) != 0 && written) written = false, error = errno;
        if (!written) {
            errno = error;
            const std::string reason = failure(file.path);
            discard();
            return reason;
        }
    }
    for (std::size_t i = 0; i < ready.size(); ++i) {
        if (std::rename(ready[i].temporary.c_str(), ready[i].target.c_str()) != 0) {
            const std::string reason = failure(ready[i].target);
            for (std::size_t j = i; j < ready.size(); ++j) std::remove(ready[j].temporary.c_str());
            return reason;
        }
    }
    for (const auto& file : files) {
        if (file.path == "-" || !is_special(target_of(file.path))) continue;
        const int fd = open(file.path.c_str(), O_WRONLY | O_CLOEXEC);
        const bool written = fd >= 0 && write_all(fd, file.text);
        const int error = errno;
        if (fd >= 0) ::close(fd);
        if (!written) {
            errno = error;
            return failure(file.path);
        }
    }
    for (const auto& file : files)
        if (file.path == "-" &&
            (std::fwrite(file.text.data(), 1, file.text.size(), stdout) != file.text.size() ||
             std::fflush(stdout) != 0))
            return failure("standard output");
    return "";
}

}  // namespace corvane::bench
