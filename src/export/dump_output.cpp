#include "export/dump_output.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <string_view>
#include <system_error>

#include "common/timestamp.h"
#include "platform/directory.h"

using namespace kro::platform;
using namespace kro::common;

namespace kro::export_ {

std::string file_name_part(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '/')
            out += "@002f";
        else
            out += c;
    }
    return out;
}

std::string unused_file_name(const std::string& name, const std::set<std::string>& used) {
    if (used.count(name) == 0) return name;
    std::size_t slash = name.rfind('/');
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = name.size();
    for (int n = 2;; ++n) {
        std::string candidate = name.substr(0, dot) + "_" + std::to_string(n) + name.substr(dot);
        if (used.count(candidate) == 0) return candidate;
    }
}

std::string compressed_file_name(const std::string& name, CompressionKind kind) {
    const std::string_view suffix = compression_suffix(kind);
    if (std::string_view(name).ends_with(suffix)) return name;
    return name + std::string(suffix);
}

std::string single_file_name(const std::string& path, const char* timestamp) {
    if (!timestamp) return path;
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + timestamp + "_" + name;
}

std::string database_file_name(const std::string& prefix, const char* timestamp,
                               const std::string& database) {
    std::string part = file_name_part(database);
    if (timestamp) return prefix + timestamp + "_db_" + part + ".sql";
    return prefix + "db_" + part + ".sql";
}

std::string object_file_name(const std::string& prefix, const char* timestamp,
                             const std::string& object) {
    std::string part = file_name_part(object);
    if (timestamp) return prefix + timestamp + "_tbl_" + part + ".sql";
    return prefix + "tbl_" + part + ".sql";
}

namespace {

// "YYYY-MM-DD hh-mm-ss", the stamp timestamp="yes" puts before a file name.
bool is_stamp(std::string_view text) {
    static constexpr std::string_view kForm = "0000-00-00 00-00-00";
    if (text.size() != kForm.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (kForm[i] == '0' ? text[i] < '0' || text[i] > '9' : text[i] != kForm[i]) return false;
    return true;
}

}  // namespace

namespace {

constexpr std::size_t kStampedPrefix = 20;  // the stamp and "_"

// The name without its leading "<stamp>_", or empty when it has none.
std::string_view unstamped(std::string_view name) {
    if (name.size() <= kStampedPrefix || name[kStampedPrefix - 1] != '_' ||
        !is_stamp(name.substr(0, kStampedPrefix - 1)))
        return {};
    return name.substr(kStampedPrefix);
}

// The regular files (no links) in folder named "<stamp>_<wanted>".
std::vector<std::filesystem::path> stamped_files(const std::filesystem::path& folder, std::string_view wanted) {
    namespace fs = std::filesystem;
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code ignored;
        if (unstamped(name) == wanted && it->is_regular_file(ignored) && !it->is_symlink(ignored))
            found.push_back(it->path());
    }
    return found;
}

std::filesystem::path folder_of(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

}  // namespace

void remove_earlier_incomplete(const std::string& path, bool stamped) {
    namespace fs = std::filesystem;
    const fs::path file(path);
    const std::string base = file.filename().string();
    const std::string_view rest = stamped ? unstamped(base) : std::string_view();
    const fs::path folder = folder_of(file);
    std::error_code ec;
    if (rest.empty()) {
        const fs::path incomplete = folder / (base + ".incomplete");
        if (fs::is_regular_file(fs::symlink_status(incomplete, ec))) fs::remove(incomplete, ec);
        return;
    }
    for (const fs::path& earlier : stamped_files(folder, std::string(rest) + ".incomplete")) fs::remove(earlier, ec);
}

void remove_older_dumps(const std::string& path, long keep) {
    namespace fs = std::filesystem;
    const fs::path file(path);
    const std::string base = file.filename().string();
    const std::string_view rest = unstamped(base);
    if (keep < 1 || rest.empty()) return;
    std::vector<fs::path> dumps = stamped_files(folder_of(file), rest);
    // The dump just written always stays, whatever its stamp says: a clock set back (or the
    // end of summer time) can give it a name that sorts before the last run's.
    std::erase_if(dumps, [&file](const fs::path& dump) { return dump.filename() == file.filename(); });
    // The stamp reads year first, so the names sort oldest first.
    std::sort(dumps.begin(), dumps.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    const std::size_t kept = static_cast<std::size_t>(keep) - 1;  // besides the new one
    for (std::size_t i = 0; i + kept < dumps.size(); ++i) {
        std::error_code ignored;
        fs::remove(dumps[i], ignored);
    }
}

void DumpOutput::set_file_path(const char* path) {
    path_ = path ? path : "";
    form_ = OutputForm::single_file;
}

int DumpOutput::set_directory(const char* dir, int timestamp_dir, int all_databases) {
    form_ = OutputForm::none;
    prefix_ = dir ? dir : "";
    if (!prefix_.empty() && prefix_.back() == '/') prefix_.pop_back();
    prefix_ += '/';
    if (timestamp_dir) {
        StrBuf stamp;
        local_timestamp_text(stamp, "-");
        prefix_ += stamp.c_str();
        if (!make_directory(prefix_)) {
            prefix_.clear();
            return 0;
        }
        prefix_ += '/';
    }
    form_ = all_databases ? OutputForm::per_database : OutputForm::per_object;
    return 1;
}

const char* DumpOutput::timestamp_text() {
    if (!timestamp_) return nullptr;
    local_timestamp_text(stamp_, "-");
    return stamp_.c_str();
}

int DumpOutput::open_named(const std::string& name) {
    if (file_.is_open()) finish(false);
    displaced_.clear();
    if (name.empty() || file_.failed()) return 0;
    // Names are told apart before the suffix goes on: "tbl_t_2.sql.zst", not "tbl_t.sql_2.zst".
    const std::string unused = unused_file_name(name, used_names_);
    const std::string path = compressed_file_name(unused, compression_.kind);
    if (unused != name) displaced_ = compressed_file_name(name, compression_.kind);
    if (!file_.open(path, append_, compression_)) return 0;
    rows_ = 0;
    used_names_.insert(unused);
    if (!append_) remove_earlier_incomplete(path, timestamp_ != 0);
    return 1;
}

int DumpOutput::open_single() { return open_named(single_file_name(path_, timestamp_text())); }

int DumpOutput::open_for_database(const std::string& database) {
    return open_named(database_file_name(prefix_, timestamp_text(), database));
}

int DumpOutput::open_for_object(const std::string& object) {
    return open_named(object_file_name(prefix_, timestamp_text(), object));
}

int DumpOutput::finish(bool complete) {
    if (!file_.is_open()) return 1;
    if (complete && !file_.failed()) {
        StrBuf now;
        local_timestamp_text(now, ":");
        file_.buffer().append_format("\n-- Dump completed on %s\n", now.c_str());
    }
    if (complete && file_.commit()) {
        WrittenFile done{file_.path(), 0, rows_};
        struct stat info {};
        // An appended dump counts only what this run added.
        if (stat(done.path.c_str(), &info) == 0)
            done.bytes = static_cast<unsigned long long>(info.st_size - file_.length_at_open());
        written_.push_back(std::move(done));
        remove_older_dumps(file_.path(), keep_);
        return 1;
    }
    int written = complete ? 0 : file_.flush();
    file_.close_incomplete(".incomplete");
    return written;
}

}  // namespace kro::export_
