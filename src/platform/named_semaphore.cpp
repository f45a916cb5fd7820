#include "platform/named_semaphore.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>

namespace kro::platform {

namespace {

sem_t* as_sem(void* handle) { return static_cast<sem_t*>(handle); }

}  // namespace

std::unique_ptr<NamedSemaphore> NamedSemaphore::open_or_create(const char* name, int& error) {
    sem_t* sem = sem_open(name, O_CREAT, 0600, 0);
    if (sem == SEM_FAILED) {
        error = errno;
        return nullptr;
    }
    return std::unique_ptr<NamedSemaphore>(new NamedSemaphore(sem));
}

std::unique_ptr<NamedSemaphore> NamedSemaphore::open_existing(const char* name, int& error) {
    sem_t* sem = sem_open(name, 0);
    if (sem == SEM_FAILED) {
        error = errno;
        return nullptr;
    }
    return std::unique_ptr<NamedSemaphore>(new NamedSemaphore(sem));
}

NamedSemaphore::~NamedSemaphore() { sem_close(as_sem(handle_)); }

void NamedSemaphore::post() { sem_post(as_sem(handle_)); }

void NamedSemaphore::drain() {
    while (sem_trywait(as_sem(handle_)) == 0 || errno == EINTR) {
    }
}

bool NamedSemaphore::wait(int ms) {
    // A monotonic deadline: a change of the wall clock must not stretch or cut the wait.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_clockwait(as_sem(handle_), CLOCK_MONOTONIC, &deadline) == 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace kro::platform
