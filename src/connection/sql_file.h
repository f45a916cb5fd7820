// SqlFile: a SQL text file (a dump, a sync script) written through an 8192-byte text
// buffer. Text is appended to buffer(); it reaches the file when the buffer holds more
// than 8191 bytes (flush_if_full) or when the writer asks (flush). The file is an
// OutputFile: created 0600 under a temporary name, named in commit() once complete.
//
// The first failed write is reported ("Error writing in file." with the system's error)
// and kept in last_write_error(); from then on nothing more is written, to this file or a
// later one opened through the same object, and every write returns 0.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "common/str_buf.h"
#include "platform/output_file.h"

namespace kro::connection {

class SqlFile {
public:
    static constexpr std::size_t kBufferSize = 8192;

    SqlFile();

    // 0 when the file cannot be opened (last_system_error() says why) or an earlier write
    // failed. With compression the text reaches the file compressed.
    int open(const std::string& path, bool append, platform::Compression compression = {});
    bool is_open() const { return file_.is_open(); }
    const std::string& path() const { return file_.path(); }
    off_t length_at_open() const { return file_.length_at_open(); }  // see OutputFile

    common::StrBuf& buffer() { return buffer_; }
    // Writes the buffer when it holds more than 8191 bytes; 0 after a failed write.
    int flush_if_full() { return buffer_.length() > kBufferSize - 1 ? write_buffer(false) : 1; }
    // Writes whatever the buffer holds and makes it reach the file.
    int flush() { return write_buffer(true); }
    bool failed() const { return failed_; }
    const common::StrBuf& last_write_error() const { return write_error_; }

    // Flushes and gives the file its name; 0 (reported) when that fails, and the file then
    // awaits close_incomplete().
    int commit();
    // Closes the file without naming it: one written under a temporary name is kept as
    // path() + suffix.
    void close_incomplete(const char* suffix) { file_.close_incomplete(suffix); }
    // Closes the file and removes one written under a temporary name.
    void discard() { file_.discard(); }

private:
    // to_disk: also empty the stream's own buffer.
    int write_buffer(bool to_disk);
    void write_failed();

    std::unique_ptr<char[]> stream_buffer_;  // must outlive the file's stream
    platform::OutputFile file_;
    common::StrBuf buffer_;
    bool failed_ = false;
    common::StrBuf write_error_;
};

}  // namespace kro::connection
