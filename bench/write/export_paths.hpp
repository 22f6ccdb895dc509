// Where an export goes, decided from its path before anything is written:
// one of this process's descriptors ("-", /dev/stdout, /dev/fd/N), a FIFO or
// a device, or a regular file. Symbolic links are followed one at a time,
// as the kernel follows them, so that a link another user planted in a
// sticky, world-writable directory is refused wherever it stands.
#pragma once

#include <string>
#include <vector>

namespace corvane::bench {

// How an export reaches its target.
enum class export_route {
    descriptor,  // one of this process's open descriptors: "-", /dev/stdout, /dev/fd/N
    stream,      // a FIFO or a character device, opened and written as it is
    file,        // a regular file, new or replaced by a rename
};

struct export_destination {
    export_route how = export_route::file;
    int fd = -1;          // export_route::descriptor
    std::string path;     // a stream or file: links resolved, in a canonical directory
    std::string problem;  // why it cannot be written
};

// Where writing `path` goes; `problem` says why it cannot, if it cannot.
export_destination destination_of(const std::string& path);

// What makes two destinations one target: the same descriptor, path or file.
std::vector<std::string> identities(const export_destination& d);

// Why descriptor `fd` cannot take an export: closed at the start, or open
// only for reading; an empty string if it can.
std::string descriptor_problem(const std::string& path, int fd);

// Whether `path` is a mount point, which nothing can be renamed over.
bool is_mount_point(const std::string& path);

// The directory part of `path`: "." for a bare name.
std::string directory_of(const std::string& path);

// "cannot write <path>: <errno's message>", "-" shown as standard output.
std::string cannot_write(const std::string& path);

// Notes which of descriptors 0-2 are closed; called first in main, before
// anything fills them. An export to one of them then fails.
void note_closed_standard_descriptors();
bool was_closed_at_start(int fd);

}  // namespace corvane::bench
