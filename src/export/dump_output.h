// DumpOutput: where a dump's text goes. It owns the 8192-byte text buffer, the one open
// output file, the output form (one file, a file per database, a file per object) and the
// rules that name those files. Every piece of dump text is appended to buffer(); the buffer
// reaches the file when it grows past 8191 bytes (flush_if_full) or when a file's content
// ends (flush).
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "common/str_buf.h"

enum class OutputForm { none, single_file, per_database, per_object };

// File names. timestamp is the time stamp text, or null when file names carry none.
std::string single_file_name(const std::string& path, const char* timestamp);
std::string database_file_name(const std::string& prefix, const char* timestamp,
                               const std::string& database);
std::string object_file_name(const std::string& prefix, const char* timestamp,
                             const std::string& object);
// A name as a file-name part: "/" would leave the dump directory, so it is written the way
// the server writes it in its own file names ("@002f").
std::string file_name_part(const std::string& name);

class DumpOutput {
public:
    static constexpr std::size_t kBufferSize = 8192;

    DumpOutput();

    // A file path selects the single-file form.
    void set_file_path(const char* path);
    // A directory selects a file per database (all_databases) or a file per object. With
    // timestamp_dir a time-stamped sub-directory is created in it; 0 when that fails, and
    // then no form is set.
    int set_directory(const char* dir, int timestamp_dir, int all_databases);
    void set_timestamp(int on) { timestamp_ = on; }
    void set_append(int on) { append_ = on; }

    OutputForm form() const { return form_; }
    const std::string& file_path() const { return path_; }
    const std::string& directory() const { return prefix_; }

    // Open a new output file, closing the one before. 0 when it cannot be opened.
    int open_single();
    int open_for_database(const std::string& database);
    int open_for_object(const std::string& object);
    void close();

    StrBuf& buffer() { return buffer_; }
    // Writes the buffer when it holds more than 8191 bytes; 0 after a failed write.
    int flush_if_full() { return buffer_.length() > kBufferSize - 1 ? write_buffer(false) : 1; }
    // Writes whatever the buffer holds and makes it reach the file. A failed write is
    // reported ("Error writing in file." with the system's error) and its text kept in
    // last_write_error(); returns 0.
    int flush() { return write_buffer(true); }
    const StrBuf& last_write_error() const { return write_error_; }

private:
    struct FileCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };

    int open_named(const std::string& name);
    // to_disk: also empty the stream's own buffer.
    int write_buffer(bool to_disk);
    const char* timestamp_text();

    OutputForm form_ = OutputForm::none;
    std::string path_;
    std::string prefix_;  // the directory, ending in "/"
    int timestamp_ = 0;
    int append_ = 0;
    std::unique_ptr<char[]> stream_buffer_;  // must outlive file_
    std::unique_ptr<FILE, FileCloser> file_;
    StrBuf buffer_;
    StrBuf stamp_;
    StrBuf write_error_;
};
