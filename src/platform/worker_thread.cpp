#include "platform/worker_thread.h"

#include <csignal>
#include <memory>

namespace kro::platform {

namespace {

constexpr std::size_t signal_stack_size = 64 * 1024;

// The thread's alternate signal stack, switched off again before its memory goes.
class SignalStack {
public:
    SignalStack() : memory_(new char[signal_stack_size]) {
        stack_t stack{};
        stack.ss_sp = memory_.get();
        stack.ss_size = signal_stack_size;
        installed_ = sigaltstack(&stack, nullptr) == 0;
    }
    ~SignalStack() {
        if (!installed_) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }

private:
    std::unique_ptr<char[]> memory_;
    bool installed_ = false;
};

}  // namespace

WorkerThread::WorkerThread(std::function<void()> task)
    : thread_([task = std::move(task)] {
          SignalStack stack;
          task();
      }) {}

}  // namespace kro::platform
