// OutputFile: a file a job writes for its user (a dump, a script). It is created readable
// by its owner only (0600, whatever the umask), for it may hold a whole database. A new
// file is written under a temporary name in the same folder and takes its name in commit(),
// once complete, so that nobody takes a half-written file for a finished one (and an older
// complete file of that name stays until then). A file appended to, and a path that names
// something other than a regular file (a link, a device, a pipe), are written in place.
// Move-only; one thread.
#pragma once

#include <cstdio>
#include <string>

namespace kro::platform {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // A file still open is closed; one under a temporary name is removed.
    ~OutputFile();

    // 0 when the file cannot be opened; last_system_error() says why.
    int open(const std::string& path, bool append);
    bool is_open() const { return stream_ != nullptr || !temporary_.empty(); }
    FILE* stream() const { return stream_; }
    // The name the file has once committed.
    const std::string& path() const { return path_; }

    // Writes what the stream holds, makes it durable and gives the file its name. 0 on
    // failure (last_system_error() says why); the file then still awaits close_incomplete().
    int commit();
    // Closes the file without giving it its name: one written under a temporary name is
    // kept as path() + suffix (an earlier file of that name is replaced).
    void close_incomplete(const char* suffix);
    // Closes the file and removes one written under a temporary name: what it holds is of
    // no use (a write failed).
    void discard();

private:
    FILE* stream_ = nullptr;
    std::string path_;
    std::string temporary_;  // empty when written in place
};

// Opens a file as fopen does with mode "w", "a" or "a+" (others: null, EINVAL), but a
// file it creates is readable by its owner only (0600, whatever the umask): logs and
// session files quote statements, and so rows. An existing file keeps its permissions.
FILE* open_owner_only(const std::string& path, const char* mode);

}  // namespace kro::platform
