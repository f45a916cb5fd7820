#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "platform/unique_fd.h"

extern char** environ;

namespace kro::platform {

namespace {

// Polls for the child's exit for up to grace_ms; true when it was reaped.
bool reaped_within(pid_t pid, int grace_ms) {
    for (int waited = 0; waited <= grace_ms; waited += 10) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        sleep_ms(10);
    }
    return false;
}

// The spawn attributes and file actions, released on every path.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

bool make_pipe(UniqueFd& read_end, UniqueFd& write_end, int& error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = errno;
        return false;
    }
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
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

bool spawn_with_pipes(const std::vector<std::string>& argv, SpawnedProcess& child, int& error) {
    if (argv.empty()) {
        error = EINVAL;
        return false;
    }
    // Every pipe end is close-on-exec, so a second helper never inherits the first one's
    // pipes: each helper sees its input close when (and only when) the agent lets go.
    UniqueFd input_read, input_write, output_read, output_write;
    if (!make_pipe(input_read, input_write, error) || !make_pipe(output_read, output_write, error))
        return false;

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, input_read.get(), 0);
    posix_spawn_file_actions_adddup2(&setup.actions, output_write.get(), 1);
    posix_spawn_file_actions_adddup2(&setup.actions, output_write.get(), 2);
    // Nothing else of the agent's (its log, session and job files, sockets) reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    // The child starts with default signal handling and an empty signal mask.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
    if (rc != 0) {
        error = rc;
        return false;
    }
    child.process = pid;
    child.input = std::move(input_write);
    child.output = std::move(output_read);
    return true;
}

bool process_has_exited(ProcessHandle process) {
    if (process == kNoProcess) return true;
    siginfo_t info{};
    int rc = waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOHANG | WNOWAIT);
    if (rc != 0) return errno == ECHILD;
    return info.si_pid != 0;
}

bool write_to_pipe(int fd, const char* data, std::size_t length) {
    if (fd < 0) return false;
    // Keep SIGPIPE from ending the agent: block it for this thread while writing, and
    // take a SIGPIPE that the write raised before unblocking it again.
    sigset_t pipe_signal, old_mask;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
    bool ok = true;
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    if (!ok && errno == EPIPE && !was_pending) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_signal, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return ok;
}

bool wait_for_pipe_close(int fd, int ms) {
    if (fd < 0) return true;
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return false;
        char discard[4096];
        ssize_t n = ::read(fd, discard, sizeof discard);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN) return true;
        if (Clock::now() >= deadline) return false;
    }
}

std::string own_executable_directory() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    std::string text(path, static_cast<std::size_t>(n));
    std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? "" : text.substr(0, slash + 1);
}

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

void sleep_ms(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace kro::platform
