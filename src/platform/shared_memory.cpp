#include "platform/shared_memory.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "platform/unique_fd.h"

namespace kro::platform {

std::unique_ptr<SharedMemory> SharedMemory::map(const char* name, int flags, std::size_t size,
                                                int& error) {
    UniqueFd fd(shm_open(name, flags, 0600));
    if (!fd.valid()) {
        error = errno;
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        error = errno;
        return nullptr;
    }
    if (static_cast<std::size_t>(st.st_size) < size) {
        // A block we did not create that is too small is not the block we want.
        if (!(flags & O_CREAT)) {
            error = EINVAL;
            return nullptr;
        }
        if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
            error = errno;
            return nullptr;
        }
    }
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (data == MAP_FAILED) {
        error = errno;
        return nullptr;
    }
    return std::unique_ptr<SharedMemory>(new SharedMemory(static_cast<char*>(data), size));
}

std::unique_ptr<SharedMemory> SharedMemory::create(const char* name, std::size_t size, int& error) {
    return map(name, O_RDWR | O_CREAT, size, error);
}

std::unique_ptr<SharedMemory> SharedMemory::open(const char* name, std::size_t size, int& error) {
    return map(name, O_RDWR, size, error);
}

SharedMemory::~SharedMemory() { munmap(data_, size_); }

}  // namespace kro::platform
