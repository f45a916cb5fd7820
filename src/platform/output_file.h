// OutputFile: a file a job writes for its user (a dump, a script). It is created readable
// by its owner only (0600, whatever the umask), for it may hold a whole database. A new
// file is written under a temporary name in the same folder and takes its name in commit(),
// once complete, so that nobody takes a half-written file for a finished one (and an older
// complete file of that name stays until then). A file appended to, and a path that names
// something other than a regular file (a link, a device, a pipe), are written in place; a
// regular file appended to that is not committed is put back as it was before open() (cut
// to its old length, or removed when open() created it), so that a failed run never leaves
// a broken tail, such as half a compressed frame, for later runs to append to.
// With compression, what is written to stream() reaches the file compressed; the
// compressed data end when the file is committed or closed. Move-only; one thread.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "platform/compressed_stream.h"
#include "platform/unique_fd.h"

namespace kro::platform {

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // A file still open is closed; one under a temporary name is removed.
    ~OutputFile();

    // 0 when the file cannot be opened; last_system_error() says why. A file appended to
    // gets compressed data of its own after what it holds (gzip members and zstd frames
    // read as one when put one after another).
    int open(const std::string& path, bool append, Compression compression = {});
    bool is_open() const { return file_ != nullptr || !temporary_.empty(); }
    // Where the file's content is written (through the compressor, when there is one).
    FILE* stream() const { return stream_; }
    // The name the file has once committed.
    const std::string& path() const { return path_; }
    // The bytes the file held before open() appended to it; 0 for a file written anew.
    off_t length_at_open() const { return length_before_ < 0 ? 0 : length_before_; }

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
    // Ends the compressed data and closes the file; false when either failed.
    bool close_streams();
    // An uncommitted append: the file goes back to what it was before open().
    void take_back_append();

    FILE* file_ = nullptr;    // the file itself
    int fd_ = -1;             // its descriptor, owned by file_
    FILE* stream_ = nullptr;  // file_, or the compressing stream in front of it
    std::string path_;
    std::string temporary_;  // empty when written in place
    // A regular file appended to: a descriptor of its own (it outlives the streams' one) and
    // its length before open(); -1 when open() created it.
    UniqueFd appended_;
    off_t length_before_ = -1;
};

// Opens a file as fopen does with mode "w", "a" or "a+" (others: null, EINVAL), but a
// file it creates is readable by its owner only (0600, whatever the umask): logs and
// session files quote statements, and so rows. An existing file keeps its permissions.
FILE* open_owner_only(const std::string& path, const char* mode);

}  // namespace kro::platform
