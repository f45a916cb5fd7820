// An exclusive lock shared by every process that asks for the same name. It is held
// for the object's life, and the system drops it when the holder dies, so a crashed
// holder never blocks the others.
#pragma once

#include <memory>

#include "platform/unique_fd.h"

namespace kro::platform {

class NamedLock {
public:
    // Waits until the lock is free and takes it. Null on failure, with the system error.
    static std::unique_ptr<NamedLock> acquire(const char* name, int& error);

private:
    explicit NamedLock(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;  // closing it releases the lock
};

}  // namespace kro::platform
