// Named semaphore: a counter that other processes reach by the same name, used as a
// one-way "ready" signal between a helper process and the agent.
#pragma once

#include <memory>

namespace kro::platform {

class NamedSemaphore {
public:
    // Opens the semaphore, creating it with the count 0 when there is none.
    // Null on failure, with the system error in `error`.
    static std::unique_ptr<NamedSemaphore> open_or_create(const char* name, int& error);
    // Opens an existing semaphore; null when there is none.
    static std::unique_ptr<NamedSemaphore> open_existing(const char* name, int& error);

    NamedSemaphore(const NamedSemaphore&) = delete;
    NamedSemaphore& operator=(const NamedSemaphore&) = delete;
    ~NamedSemaphore();

    void post();
    // Takes every post that is pending now.
    void drain();
    // Waits at most `ms` milliseconds for a post and takes it; true when one came.
    bool wait(int ms);

private:
    explicit NamedSemaphore(void* handle) : handle_(handle) {}
    void* handle_;
};

}  // namespace kro::platform
