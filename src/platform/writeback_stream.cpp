#include "platform/writeback_stream.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <unistd.h>

namespace kro::platform {

namespace {

// Large enough to cost few system calls, small enough that the disk starts early.
constexpr off_t kWritebackStep = 8 * 1024 * 1024;

struct WritebackFile {
    int fd;
    off_t written = 0;  // bytes written so far
    off_t started = 0;  // bytes whose writing to disk has been started
};

ssize_t write_through(void* cookie, const char* data, std::size_t size) {
    auto* file = static_cast<WritebackFile*>(cookie);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(file->fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<std::size_t>(n);
    }
    file->written += static_cast<off_t>(size);
    if (file->written - file->started >= kWritebackStep) {
        // Only a hint: where the system cannot, the fsync does it all as before.
        sync_file_range(file->fd, file->started, file->written - file->started, SYNC_FILE_RANGE_WRITE);
        file->started = file->written;
    }
    return static_cast<ssize_t>(size);
}

int close_file(void* cookie) {
    std::unique_ptr<WritebackFile> file(static_cast<WritebackFile*>(cookie));
    return ::close(file->fd);
}

}  // namespace

FILE* open_writeback_stream(int fd) {
    auto* file = new (std::nothrow) WritebackFile{fd};
    if (!file) {
        errno = ENOMEM;
        return nullptr;
    }
    cookie_io_functions_t functions{nullptr, write_through, nullptr, close_file};
    FILE* stream = fopencookie(file, "w", functions);
    if (!stream) delete file;
    return stream;
}

}  // namespace kro::platform
