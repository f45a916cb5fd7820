#include "platform/output_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/unique_fd.h"
#include "platform/writeback_stream.h"

namespace kro::platform {

namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

std::string folder_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A rename is durable once the folder that holds the name is.
void sync_folder(const std::string& path) {
    UniqueFd folder(::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) fsync(folder.get());
}

// Opens path for appending, creating it readable by its owner only when it is new (then
// created is set).
int open_for_append(const std::string& path, bool& created) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
    created = fd >= 0;
    if (fd >= 0) {
        fchmod(fd, kOwnerOnly);  // the umask may have taken the owner's bits too
        return fd;
    }
    if (errno != EEXIST) return -1;
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
}

}  // namespace

FILE* open_owner_only(const std::string& path, const char* mode) {
    const std::string m = mode ? mode : "";
    int flags = O_CREAT | O_CLOEXEC;
    if (m == "w") flags |= O_WRONLY | O_TRUNC;
    else if (m == "a") flags |= O_WRONLY | O_APPEND;
    else if (m == "a+") flags |= O_RDWR | O_APPEND;
    else {
        errno = EINVAL;
        return nullptr;
    }
    int fd = ::open(path.c_str(), flags | O_EXCL, kOwnerOnly);
    if (fd >= 0) fchmod(fd, kOwnerOnly);  // the umask may have taken the owner's bits too
    else if (errno == EEXIST) fd = ::open(path.c_str(), flags, kOwnerOnly);  // a link to a new file: 0600 too
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, mode);
    if (!stream) {
        const int code = errno;
        ::close(fd);
        errno = code;
    }
    return stream;
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::close_streams() {
    bool ok = true;
    if (stream_ && stream_ != file_) ok = std::fclose(stream_) == 0;
    stream_ = nullptr;
    if (file_) ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    fd_ = -1;
    return ok;
}

void OutputFile::take_back_append() {
    if (!appended_.valid()) return;
    if (length_before_ < 0) {
        unlink(path_.c_str());
    } else if (ftruncate(appended_.get(), length_before_) == 0) {
        fsync(appended_.get());
    }
    appended_.reset();
}

void OutputFile::discard() {
    close_streams();
    take_back_append();
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
}

int OutputFile::open(const std::string& path, bool append, Compression compression) {
    if (is_open()) close_incomplete(".incomplete");
    path_ = path;
    length_before_ = -1;
    int fd = -1;
    struct stat st {};
    if (append) {
        bool created = false;
        fd = open_for_append(path, created);
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            appended_.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
            length_before_ = created ? -1 : st.st_size;
        }
    } else if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    } else {
        std::size_t slash = path.rfind('/');
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base.empty()) {
            errno = EISDIR;
            return 0;
        }
        std::string temporary = path.substr(0, path.size() - base.size()) + "." + base + ".XXXXXX";
        fd = mkostemp(temporary.data(), O_CLOEXEC);
        if (fd >= 0) {
            fchmod(fd, kOwnerOnly);
            temporary_ = std::move(temporary);
        }
    }
    if (fd < 0) return 0;
    // A new file is written to disk as it grows; one appended to, or a device, as stdio does.
    file_ = temporary_.empty() ? fdopen(fd, append ? "a" : "w") : open_writeback_stream(fd);
    if (file_) fd_ = fd;
    if (!file_) {
        const int code = errno;
        ::close(fd);
        discard();
        errno = code;
        return 0;
    }
    stream_ = compression.kind == CompressionKind::none ? file_ : open_compressing_stream(file_, compression);
    if (stream_) return 1;
    const int code = errno;
    discard();
    errno = code;
    return 0;
}

int OutputFile::commit() {
    if (file_) {
        // The compressed data end here: their last bytes go to the file before it is synced.
        if (stream_ && stream_ != file_) {
            const int ended = std::fclose(stream_);
            stream_ = nullptr;
            if (ended != 0) return 0;
        }
        if (std::fflush(file_) != 0) return 0;
        // Only regular files are synced: a device (/dev/stdout) may refuse it.
        struct stat st {};
        if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && fsync(fd_) != 0) return 0;
        if (!close_streams()) return 0;
    }
    appended_.reset();  // what was added stays
    if (temporary_.empty()) return 1;
    if (rename(temporary_.c_str(), path_.c_str()) != 0) return 0;
    temporary_.clear();
    sync_folder(path_);
    return 1;
}

void OutputFile::close_incomplete(const char* suffix) {
    close_streams();
    take_back_append();
    if (temporary_.empty()) return;
    std::string kept = path_ + suffix;
    if (rename(temporary_.c_str(), kept.c_str()) != 0) unlink(temporary_.c_str());
    temporary_.clear();
}

}  // namespace kro::platform
