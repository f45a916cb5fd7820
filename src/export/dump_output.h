// DumpOutput: where a dump's text goes. It owns the 8192-byte text buffer, the one open
// output file, the output form (one file, a file per database, a file per object) and the
// rules that name those files. Every piece of dump text is appended to buffer(); the buffer
// reaches the file when it grows past 8191 bytes (flush_if_full) or when a file's content
// ends (flush).
//
// A file takes its name only when it is finished complete (see OutputFile), ending with a
// line that says so; an incomplete one is kept as "<name>.incomplete". No file name is used
// twice in one run: a later file that would reuse one gets a distinct name instead.
// With compression every file is written compressed and its name gets the suffix of the
// kind (".gz", ".zst"); the completion line is inside the compressed text.
#pragma once

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/str_buf.h"
#include "connection/sql_file.h"
#include "platform/compressed_stream.h"

namespace kro::export_ {

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
// A dump that failed is kept as "<name>.incomplete"; once a new dump of that name is
// being written, those of earlier runs are removed (a full disk would stay full, and the
// newest incomplete dump is the one worth keeping). With stamped, names that differ only
// in their leading time stamp count as one name.
void remove_earlier_incomplete(const std::string& path, bool stamped);
// With keep above 0: of the complete dumps in path's folder whose names differ from
// path's only in their leading time stamp, the newest keep (by stamp; path among them)
// stay and the others are removed. Nothing else in the folder is touched: no file of
// another name, no ".incomplete" file, no link, no folder. Nothing when path has no stamp.
void remove_older_dumps(const std::string& path, long keep);
// name, or when used holds it, the first of "<stem>_2<extension>", "<stem>_3<extension>"...
// that it does not hold.
std::string unused_file_name(const std::string& name, const std::set<std::string>& used);
// name with the suffix of the compression kind, unless it already ends with it.
std::string compressed_file_name(const std::string& name, platform::CompressionKind kind);

// A file this run finished complete: its name, its size and the rows dumped into it.
struct WrittenFile {
    std::string path;
    unsigned long long bytes = 0;
    unsigned long long rows = 0;
};

class DumpOutput {
public:
    static constexpr std::size_t kBufferSize = connection::SqlFile::kBufferSize;

    // A file path selects the single-file form.
    void set_file_path(const char* path);
    // A directory selects a file per database (all_databases) or a file per object. With
    // timestamp_dir a time-stamped sub-directory is created in it; 0 when that fails, and
    // then no form is set.
    int set_directory(const char* dir, int timestamp_dir, int all_databases);
    void set_timestamp(int on) { timestamp_ = on; }
    void set_append(int on) { append_ = on; }
    void set_compression(platform::Compression compression) { compression_ = compression; }
    // Complete time-stamped dumps of each name to keep (see remove_older_dumps); 0: all.
    void set_keep(long keep) { keep_ = keep; }

    OutputForm form() const { return form_; }
    const std::string& directory() const { return prefix_; }

    // Open a new output file (one still open is finished as incomplete first). 0 when it
    // cannot be opened.
    int open_single();
    int open_for_database(const std::string& database);
    int open_for_object(const std::string& object);
    bool is_open() const { return file_.is_open(); }
    // The open file's name, and the name it would have had when that was taken earlier in
    // this run (else empty).
    const std::string& file_name() const { return file_.path(); }
    const std::string& displaced_name() const { return displaced_; }
    // Ends the open file. complete: its content ran to its end and nothing in it failed;
    // it gets the completion line and its name. Otherwise it is kept as "<name>.incomplete".
    // 0 when the file could not be written or named.
    int finish(bool complete);

    // One more row dumped into the open file.
    void count_row() { ++rows_; }
    // The files finished complete so far, in the order they were written.
    const std::vector<WrittenFile>& written() const { return written_; }

    common::StrBuf& buffer() { return file_.buffer(); }
    // Writes the buffer when it holds more than 8191 bytes; 0 after a failed write.
    int flush_if_full() { return file_.flush_if_full(); }
    // Writes whatever the buffer holds and makes it reach the file. The first failed write
    // is reported and its text kept in last_write_error(); from then on nothing more is
    // written and every call returns 0 (see SqlFile).
    int flush() { return file_.flush(); }
    bool failed() const { return file_.failed(); }
    const common::StrBuf& last_write_error() const { return file_.last_write_error(); }

private:
    int open_named(const std::string& name);
    const char* timestamp_text();

    OutputForm form_ = OutputForm::none;
    std::string path_;
    std::string prefix_;  // the directory, ending in "/"
    int timestamp_ = 0;
    int append_ = 0;
    platform::Compression compression_;
    connection::SqlFile file_;
    std::set<std::string> used_names_;
    std::string displaced_;
    common::StrBuf stamp_;
    long keep_ = 0;
    unsigned long long rows_ = 0;
    std::vector<WrittenFile> written_;
};

}  // namespace kro::export_
