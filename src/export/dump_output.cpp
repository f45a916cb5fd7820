#include "export/dump_output.h"

#include "common/timestamp.h"
#include "platform/directory.h"
#include "platform/system_error.h"
#include "report/reporting.h"

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

DumpOutput::DumpOutput() : buffer_(kBufferSize) {}

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
    // Text still waiting belongs to the file before (an object that failed half-way): it
    // goes there, never to the top of the next object's file.
    if (file_) write_buffer(true);
    file_.reset();
    if (name.empty()) return 0;
    file_.reset(std::fopen(name.c_str(), append_ ? "a" : "w"));
    if (!file_) return 0;
    // Large writes: a dump is hundreds of megabytes, and 8 KB system calls would cost
    // a good part of its time.
    constexpr std::size_t kStreamBuffer = 1 << 20;
    if (!stream_buffer_) stream_buffer_ = std::make_unique<char[]>(kStreamBuffer);
    std::setvbuf(file_.get(), stream_buffer_.get(), _IOFBF, kStreamBuffer);
    return 1;
}

int DumpOutput::open_single() { return open_named(single_file_name(path_, timestamp_text())); }

int DumpOutput::open_for_database(const std::string& database) {
    return open_named(database_file_name(prefix_, timestamp_text(), database));
}

int DumpOutput::open_for_object(const std::string& object) {
    return open_named(object_file_name(prefix_, timestamp_text(), object));
}

void DumpOutput::close() {
    if (file_) std::fclose(file_.release());
}

int DumpOutput::write_buffer(bool to_disk) {
    // Text written while no file is open waits for the next file.
    if (!file_) return 1;
    std::size_t written = buffer_.empty() ? 0 : std::fwrite(buffer_.c_str(), 1, buffer_.length(), file_.get());
    if (written == buffer_.length() && (!to_disk || std::fflush(file_.get()) == 0)) {
        buffer_.clear();
        return 1;
    }
    int code = last_system_error();
    write_error_.format("%s\n%d:%s", "Error writing in file.", code, system_error_text(code).c_str());
    report_failure_no_entry(write_error_.c_str());
    buffer_.clear();
    return 0;
}
