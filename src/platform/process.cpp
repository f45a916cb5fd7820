#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/types.h>
#include <sys/wait.h>

namespace {

// Polls for the child's exit for up to grace_ms; true when it was reaped.
bool reaped_within(pid_t pid, int grace_ms) {
    for (int waited = 0; waited <= grace_ms; waited += 10) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        timespec ts{0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    return false;
}

}  // namespace

void terminate_process(ProcessHandle& process) {
    if (process == kNoProcess) return;
    pid_t pid = static_cast<pid_t>(process);
    process = kNoProcess;
    if (kill(pid, SIGTERM) != 0 && errno == ESRCH) {
        waitpid(pid, nullptr, WNOHANG);
        return;
    }
    if (reaped_within(pid, 2000)) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}
