#include "connection/sql_file.h"

#include "platform/system_error.h"
#include "report/reporting.h"

using namespace kro::platform;
using namespace kro::report;

namespace kro::connection {

SqlFile::SqlFile() : buffer_(kBufferSize) {}

int SqlFile::open(const std::string& path, bool append, Compression compression) {
    if (path.empty() || failed_) return 0;
    if (!file_.open(path, append, compression)) return 0;
    // Large writes: a dump is hundreds of megabytes, and 8 KB system calls would cost a
    // good part of its time.
    constexpr std::size_t kStreamBuffer = 1 << 20;
    if (!stream_buffer_) stream_buffer_ = std::make_unique<char[]>(kStreamBuffer);
    std::setvbuf(file_.stream(), stream_buffer_.get(), _IOFBF, kStreamBuffer);
    return 1;
}

int SqlFile::commit() {
    if (!write_buffer(true)) return 0;
    if (file_.commit()) return 1;
    write_failed();
    return 0;
}

int SqlFile::write_buffer(bool to_disk) {
    if (failed_) {
        buffer_.clear();
        return 0;
    }
    // Text written while no file is open waits for the next file.
    FILE* stream = file_.stream();
    if (!stream) return 1;
    std::size_t written = buffer_.empty() ? 0 : std::fwrite(buffer_.c_str(), 1, buffer_.length(), stream);
    if (written == buffer_.length() && (!to_disk || std::fflush(stream) == 0)) {
        buffer_.clear();
        return 1;
    }
    write_failed();
    return 0;
}

void SqlFile::write_failed() {
    buffer_.clear();
    if (failed_) return;
    failed_ = true;
    int code = last_system_error();
    write_error_.format("%s\n%d:%s", "Error writing in file.", code, system_error_text(code).c_str());
    report_failure_no_entry(write_error_.c_str());
}

}  // namespace kro::connection
