#include "platform/named_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>

namespace kro::platform {

std::unique_ptr<NamedLock> NamedLock::acquire(const char* name, int& error) {
    UniqueFd fd(shm_open(name, O_RDWR | O_CREAT, 0600));
    if (!fd.valid()) {
        error = errno;
        return nullptr;
    }
    while (flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = errno;
            return nullptr;
        }
    }
    return std::unique_ptr<NamedLock>(new NamedLock(std::move(fd)));
}

}  // namespace kro::platform
