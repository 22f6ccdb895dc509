#include "bench/write/file_commit.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "bench/base/text.hpp"
#include "bench/write/export_paths.hpp"
#include "process/process.hpp"

namespace corvane::bench {

namespace {

// Short, so that a target name of up to 255 bytes still leaves room.
constexpr char temporary_name[] = "/.cv-XXXXXX";
// How often a wait (for a FIFO's reader, a lock, a full pipe) looks for an
// interrupt.
constexpr int poll_ms = 20;

// Hard-links `target` under a new short name in its directory, so that it
// can be put back; the name, or empty with errno set.
std::string link_aside(const std::string& target) {
    thread_local std::mt19937 random(std::random_device{}());
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = directory_of(target) + "/.cv-";
        for (int i = 0; i < 6; ++i) name += letters[random() % (sizeof letters - 1)];
        if (link(target.c_str(), name.c_str()) == 0) return name;
        if (errno != EEXIST) return "";
    }
    return "";
}

// What writing a regular file will do, tried beside it and undone.
std::string try_file(const std::string& path, const std::string& target) {
    struct stat info {};
    const bool exists = lstat(target.c_str(), &info) == 0;
    if (exists && is_mount_point(target))
        return "cannot replace " + path +
               ": it is a mount point (a bind-mounted file?), and nothing can be renamed over one; "
               "export into a mounted directory instead";
    std::string temporary = directory_of(target) + temporary_name;
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return cannot_write(path);
    ::close(fd);
    std::string problem;
    if (exists) {
        const std::string aside = link_aside(target);
        if (aside.empty())
            problem = "cannot write " + path + ": the old file cannot be linked aside (" +
                      std::strerror(errno) + "), so a failed set could not put it back";
        else
            unlink(aside.c_str());
    }
    unlink(temporary.c_str());
    return problem;
}

mode_t current_umask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

bool interrupted(commit_outcome& outcome) {
    outcome.interrupted_by = process::interrupted_by();
    return outcome.interrupted_by != 0;
}

// Writes all of `text`, polling so that a full pipe or a paused terminal
// does not hide an interrupt. A pipe that polls writable takes PIPE_BUF
// bytes without blocking, whatever the descriptor's own mode.
commit_outcome write_stream(int fd, const std::string& text, const std::string& path) {
    commit_outcome outcome;
    std::size_t done = 0;
    while (done < text.size() && !interrupted(outcome)) {
        pollfd ready{fd, POLLOUT, 0};
        const int polled = poll(&ready, 1, poll_ms);
        if (polled < 0 && errno != EINTR) return {cannot_write(path)};
        if (polled <= 0) continue;
        const ssize_t put =
            ::write(fd, text.data() + done, std::min<std::size_t>(text.size() - done, PIPE_BUF));
        if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (put <= 0) return {cannot_write(path)};
        done += static_cast<std::size_t>(put);
    }
    return outcome;
}

// A FIFO without a reader refuses a non-blocking open; it is tried again
// until a reader comes or an interrupt does.
commit_outcome write_named_stream(const std::string& target, const std::string& text,
                                  const std::string& path) {
    struct stat info {};
    const bool fifo = stat(target.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    commit_outcome outcome;
    int fd = -1;
    while ((fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) < 0) {
        if (!(errno == EINTR || (fifo && errno == ENXIO))) return {cannot_write(path)};
        if (interrupted(outcome)) return outcome;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
    outcome = write_stream(fd, text, path);
    if (::close(fd) != 0 && outcome.problem.empty() && !outcome.interrupted_by)
        outcome.problem = cannot_write(path);
    return outcome;
}

// A device is opened as its export will open it: a terminal that is not
// there (/dev/tty without one) fails now, not after the runs. A FIFO is
// not: closing it would end its reader's input, and the export waits for
// a reader anyway.
std::string stream_problem(const std::string& target, const std::string& path) {
    struct stat info {};
    if (stat(target.c_str(), &info) == 0 && S_ISFIFO(info.st_mode))
        return access(target.c_str(), W_OK) == 0 ? "" : cannot_write(path);
    const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return cannot_write(path);
    ::close(fd);
    return "";
}

// Exclusive flock()s on the directories that receive files, taken in one
// order so that two writers cannot each hold what the other waits for.
// A file system without locks is written unlocked.
commit_outcome lock_directories(std::vector<std::string> directories, double wait_s, std::vector<int>& held) {
    std::sort(directories.begin(), directories.end());
    directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
    commit_outcome outcome;
    for (const auto& directory : directories) {
        const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return {cannot_write(directory)};
        held.push_back(fd);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait_s);
        while (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
            if (interrupted(outcome)) return outcome;
            if (std::chrono::steady_clock::now() > deadline)
                return {"cannot write into " + directory +
                        ": another run was still writing its exports there after " +
                        formatted("%g s", wait_s)};
            std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
        }
    }
    return outcome;
}

struct replacement {
    std::string path, target, temporary;
    std::string aside;  // the old file, linked aside; empty for a new file
};

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

// A new file beside the target, with the mode the target had, or the one
// any new file gets (mkstemp makes it private).
std::string write_temporary(const pending_file& file, replacement& r) {
    static const mode_t mask = current_umask();
    r.temporary = directory_of(r.target) + temporary_name;
    const int fd = mkstemp(r.temporary.data());
    if (fd < 0) {
        r.temporary.clear();
        return cannot_write(file.path);
    }
    struct stat existing {};
    fchmod(fd, stat(r.target.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0666 & ~mask);
    bool written = write_all(fd, file.text) && fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && written) written = false, error = errno;
    errno = error;
    return written ? "" : cannot_write(file.path);
}

// Undoes the first `renamed` renames, newest first, and removes what is
// left aside or unused. Names any file that could not be put back.
std::string roll_back(std::vector<replacement>& ready, std::size_t renamed) {
    std::string problem;
    for (std::size_t i = renamed; i-- > 0;) {
        const bool restored = ready[i].aside.empty()
                                  ? unlink(ready[i].target.c_str()) == 0
                                  : std::rename(ready[i].aside.c_str(), ready[i].target.c_str()) == 0;
        if (!restored)
            problem += "; " + ready[i].target + " could not be put back" +
                       (ready[i].aside.empty() ? "" : ", its old content is in " + ready[i].aside);
        else
            ready[i].aside.clear();
    }
    for (std::size_t i = renamed; i < ready.size(); ++i) {
        if (!ready[i].temporary.empty()) unlink(ready[i].temporary.c_str());
        if (!ready[i].aside.empty()) unlink(ready[i].aside.c_str());
    }
    return problem;
}

}  // namespace

std::string closed_target(const std::vector<pending_file>& files) {
    for (const auto& file : files) {
        const export_destination d = destination_of(file.path);
        if (d.how == export_route::descriptor && was_closed_at_start(d.fd))
            return descriptor_problem(file.path, d.fd);
    }
    return "";
}

bool any_to_stdout(const std::vector<pending_file>& files) {
    for (const auto& file : files) {
        const export_destination d = destination_of(file.path);
        if (d.how == export_route::descriptor && d.fd == STDOUT_FILENO) return true;
    }
    return false;
}

std::string check_targets(const std::vector<pending_file>& files, const std::vector<std::string>& inputs) {
    std::map<std::string, std::string> read_from;  // device:inode of each input, and its name
    for (const auto& input : inputs) {
        struct stat info {};
        if (stat(input.c_str(), &info) == 0)
            read_from.emplace(std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino), input);
    }
    std::set<std::string> seen;
    for (const auto& file : files) {
        if (file.path.empty()) return file.option + ": an empty path (an unset variable?)";
        const export_destination d = destination_of(file.path);
        if (!d.problem.empty()) return d.problem;
        for (const auto& key : identities(d)) {
            if (const auto input = read_from.find(key); input != read_from.end())
                return file.option + " " + file.path + ": that is " + input->second +
                       ", which is read: an export never replaces its input";
            if (!seen.insert(key).second)
                return file.option + " " + file.path + ": another export already goes there";
        }
        std::string problem;
        if (d.how == export_route::descriptor)
            problem = descriptor_problem(file.path, d.fd);
        else if (d.how == export_route::stream)
            problem = stream_problem(d.path, file.path);
        else
            problem = try_file(file.path, d.path);
        if (!problem.empty()) return problem;
    }
    return "";
}

commit_outcome commit_files(const std::vector<pending_file>& files, const commit_seams& seams) {
    std::vector<export_destination> where;
    for (const auto& file : files) {
        where.push_back(destination_of(file.path));
        if (!where.back().problem.empty()) return {where.back().problem};
    }

    std::vector<replacement> ready;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (where[i].how != export_route::file) continue;
        ready.push_back({files[i].path, where[i].path, "", ""});
        if (const std::string problem = write_temporary(files[i], ready.back()); !problem.empty()) {
            roll_back(ready, 0);
            return {problem};
        }
    }

    // What went out through stdio comes first on the descriptors.
    std::fflush(stdout);
    std::fflush(stderr);
    for (std::size_t i = 0; i < files.size(); ++i) {
        commit_outcome outcome;
        if (where[i].how == export_route::descriptor) {
            outcome.problem = descriptor_problem(files[i].path, where[i].fd);
            if (outcome.problem.empty()) outcome = write_stream(where[i].fd, files[i].text, files[i].path);
        } else if (where[i].how == export_route::stream) {
            outcome = write_named_stream(where[i].path, files[i].text, files[i].path);
        }
        if (!outcome.problem.empty() || outcome.interrupted_by) {
            roll_back(ready, 0);
            return outcome;
        }
    }

    std::vector<int> locks;
    const auto unlock = [&locks] {
        for (const int fd : locks) ::close(fd);
    };
    std::vector<std::string> directories;
    for (const auto& r : ready) directories.push_back(directory_of(r.target));
    if (commit_outcome outcome = lock_directories(directories, seams.lock_wait_s, locks);
        !outcome.problem.empty() || outcome.interrupted_by) {
        unlock();
        roll_back(ready, 0);
        return outcome;
    }
    for (auto& r : ready) {
        struct stat info {};
        if (lstat(r.target.c_str(), &info) != 0) continue;  // a new file
        r.aside = link_aside(r.target);
        if (r.aside.empty()) {
            const std::string problem = "cannot keep the old " + r.path + " aside: " + std::strerror(errno);
            unlock();
            roll_back(ready, 0);
            return {problem};
        }
    }
    commit_outcome outcome;
    for (std::size_t i = 0; i < ready.size(); ++i) {
        if (i > 0 && seams.between_renames) seams.between_renames();
        if (!interrupted(outcome) && std::rename(ready[i].temporary.c_str(), ready[i].target.c_str()) == 0)
            continue;
        if (!outcome.interrupted_by) outcome.problem = cannot_write(ready[i].path);
        outcome.problem += roll_back(ready, i);
        unlock();
        return outcome;
    }
    for (const auto& r : ready)
        if (!r.aside.empty()) unlink(r.aside.c_str());
    unlock();
    return outcome;
}

}  // namespace corvane::bench
