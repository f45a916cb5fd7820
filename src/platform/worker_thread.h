// WorkerThread: a thread that runs one task and is joined when the object goes away.
// Each worker installs an alternate signal stack of its own first, so that the crash
// report still runs when a worker overflows its stack.
#pragma once

#include <functional>
#include <thread>

namespace kro::platform {

class WorkerThread {
public:
    explicit WorkerThread(std::function<void()> task);
    ~WorkerThread() { join(); }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

}  // namespace kro::platform
