#include "bench/write/export_paths.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace corvane::bench {

namespace {

constexpr int max_link_hops = 40;

std::string base_of(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

std::string shown(const std::string& path) { return path == "-" ? "standard output" : path; }

bool is_number(const std::string& text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a canonical directory is this process's table of descriptors:
// /dev/fd, /proc/self/fd and /proc/thread-self/fd resolve to one of these.
bool is_own_descriptor_table(const std::string& directory) {
    if (directory == "/dev/fd") return true;  // systems where it is a file system of its own
    // /proc/self names this process as the mounted /proc counts it, which in a
    // PID namespace of its own is not getpid().
    char self[32];
    const ssize_t length = readlink("/proc/self", self, sizeof self - 1);
    const std::string own = "/proc/" + (length > 0 ? std::string(self, static_cast<std::size_t>(length))
                                                   : std::to_string(getpid()));
    if (directory == own + "/fd") return true;
    const std::string task = own + "/task/";
    if (directory.compare(0, task.size(), task) != 0) return false;
    const std::string rest = directory.substr(task.size());
    const auto slash = rest.find('/');
    return slash != std::string::npos && is_number(rest.substr(0, slash)) && rest.substr(slash) == "/fd";
}

// Descriptors 0-2 that were closed when the process started, before
// anything filled them.
bool closed_at_start[3] = {false, false, false};

// The kernel's rule for protected_symlinks, which following a link here by
// hand would bypass: in a sticky, world-writable directory (/tmp) a link is
// followed only by its owner or the directory's. Anyone may put a link
// there, naming a file they could not write themselves.
bool is_planted_link(const struct stat& link, const std::string& directory) {
    struct stat dir {};
    if (stat(directory.c_str(), &dir) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return shared && link.st_uid != geteuid() && link.st_uid != dir.st_uid;
}

// A directory's canonical path, its links followed one component at a time
// as the kernel follows them, so that a link another user planted in a
// sticky directory is refused wherever it stands in the path. Empty, with
// errno set or `planted` naming the link, where there is none.
std::string canonical_directory(const std::string& path, std::string& planted) {
    std::string pending = path;
    if (pending.empty() || pending[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return "";
        pending = std::string(cwd) + "/" + pending;
    }
    std::string resolved;  // "" is the root
    for (int hops = 0; !pending.empty();) {
        const auto slash = pending.find('/', 1);
        const std::string name = pending.substr(1, slash == std::string::npos ? slash : slash - 1);
        pending = slash == std::string::npos ? "" : pending.substr(slash);
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            resolved.erase(std::min(resolved.size(), resolved.find_last_of('/')));
            continue;
        }
        const std::string candidate = resolved + "/" + name;
        struct stat info {};
        if (lstat(candidate.c_str(), &info) != 0) return "";
        if (S_ISLNK(info.st_mode)) {
            if (++hops > max_link_hops) {
                errno = ELOOP;
                return "";
            }
            if (is_planted_link(info, resolved.empty() ? "/" : resolved)) {
                planted = candidate;
                return "";
            }
            char link[PATH_MAX];
            const ssize_t length = readlink(candidate.c_str(), link, sizeof link - 1);
            if (length <= 0) return "";
            const std::string to(link, static_cast<std::size_t>(length));
            if (to[0] == '/') resolved.clear();
            pending = "/" + to + pending;
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            errno = ENOTDIR;
            return "";
        }
        resolved = candidate;
    }
    return resolved.empty() ? "/" : resolved;
}

std::string planted_problem(const std::string& path, const std::string& link) {
    return "cannot write " + path + ": " + link +
           " is a symbolic link of another user in a sticky, world-writable directory, which is not followed";
}

}  // namespace

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string cannot_write(const std::string& path) {
    return "cannot write " + shown(path) + ": " + std::strerror(errno);
}

// Where writing `path` goes. Links are followed one at a time, so that a
// link into the descriptor table is recognised before the kernel's link to
// the descriptor's file would be followed.
export_destination destination_of(const std::string& path) {
    export_destination d;
    if (path == "-") {
        d.how = export_route::descriptor;
        d.fd = STDOUT_FILENO;
        return d;
    }
    std::string hop = path;
    for (int hops = 0; hops <= max_link_hops; ++hops) {
        std::string planted;
        const std::string directory = canonical_directory(directory_of(hop), planted), name = base_of(hop);
        if (directory.empty()) {
            d.problem = planted.empty() ? cannot_write(path) : planted_problem(path, planted);
            return d;
        }
        d.path = (directory == "/" ? "" : directory) + "/" + name;
        if (is_own_descriptor_table(directory) && is_number(name)) {
            d.how = export_route::descriptor;
            d.fd = std::atoi(name.c_str());
            return d;
        }
        struct stat info {};
        if (lstat(d.path.c_str(), &info) != 0) {
            if (errno != ENOENT)
                d.problem = cannot_write(path);  // a name too long, a directory not searchable
            return d;                            // a new file
        }
        if (S_ISLNK(info.st_mode)) {
            if (is_planted_link(info, directory)) {
                d.problem = planted_problem(path, d.path);
                return d;
            }
            char link[PATH_MAX];
            const ssize_t length = readlink(d.path.c_str(), link, sizeof link - 1);
            if (length <= 0) {
                d.problem = cannot_write(path);
                return d;
            }
            const std::string to(link, static_cast<std::size_t>(length));
            hop = to[0] == '/' ? to : directory + "/" + to;
            continue;
        }
        if (S_ISDIR(info.st_mode))
            d.problem = "cannot write " + path + ": it is a directory";
        else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode))
            d.how = export_route::stream;
        else if (!S_ISREG(info.st_mode))
            d.problem = "cannot write " + path + ": not a file, FIFO or character device";
        return d;
    }
    d.problem = "cannot write " + path + ": a loop of symbolic links";
    return d;
}

std::vector<std::string> identities(const export_destination& d) {
    std::vector<std::string> keys;
    struct stat info {};
    const auto inode = [&info] { return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino); };
    if (d.how == export_route::descriptor) {
        keys.push_back("descriptor " + std::to_string(d.fd));
        // Only a regular file: descriptors 1 and 2 on one terminal are fine.
        if (fstat(d.fd, &info) == 0 && S_ISREG(info.st_mode)) keys.push_back(inode());
    } else {
        keys.push_back(d.path);
        if (stat(d.path.c_str(), &info) == 0) keys.push_back(inode());
    }
    return keys;
}

std::string descriptor_problem(const std::string& path, int fd) {
    if (fd >= 0 && fd < 3 && closed_at_start[fd])
        return "cannot write " + shown(path) + ": descriptor " + std::to_string(fd) +
               " was closed when corvane-bench started";
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return cannot_write(path);
    if ((flags & O_ACCMODE) == O_RDONLY)
        return "cannot write " + shown(path) + ": descriptor " + std::to_string(fd) +
               " is open only for reading";
    return "";
}

// Nothing can be renamed over a mount point, such as a file bind-mounted
// into a container.
bool is_mount_point(const std::string& path) {
#if defined(__linux__) && defined(STATX_ATTR_MOUNT_ROOT)
    struct statx info {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &info) == 0 &&
        (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#endif
    // Elsewhere only a mount from another file system shows.
    struct stat file {
    }, directory{};
    return stat(path.c_str(), &file) == 0 && stat(directory_of(path).c_str(), &directory) == 0 &&
           file.st_dev != directory.st_dev;
}

void note_closed_standard_descriptors() {
    for (int fd = 0; fd < 3; ++fd) closed_at_start[fd] = fcntl(fd, F_GETFD) < 0;
}

bool was_closed_at_start(int fd) { return fd >= 0 && fd < 3 && closed_at_start[fd]; }

}  // namespace corvane::bench
