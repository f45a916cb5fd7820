#include "platform/stop_signals.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace kro::platform {

namespace {

std::atomic<int> stopped_by{0};
std::atomic<bool> stopped{false};

// Whether sockets may be shut down now, or only once the transfers kept through a stop end.
std::mutex sockets_mutex;
int sockets_kept = 0;             // live SocketsKeptThroughStop objects
bool shutdown_postponed = false;  // a stop arrived while one lived

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

// Every socket of the process (server connections, HTTP and SMTP transfers, ODBC drivers'
// links) is shut down, not closed: its owner still closes it, and a descriptor that was
// reused meanwhile for something other than a socket is left alone.
void shut_down_sockets() {
    std::unique_ptr<DIR, DirCloser> fds(opendir("/proc/self/fd"));
    if (!fds) return;
    const int own = dirfd(fds.get());
    while (dirent* entry = readdir(fds.get())) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own) continue;
        struct stat st {};
        if (fstat(static_cast<int>(fd), &st) == 0 && S_ISSOCK(st.st_mode))
            shutdown(static_cast<int>(fd), SHUT_RDWR);
    }
}

}  // namespace

StopSignals::StopSignals() {
    signal(SIGXFSZ, SIG_IGN);
    const sigset_t set = stop_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signals_.reset(signalfd(-1, &set, SFD_CLOEXEC));
    wake_.reset(eventfd(0, EFD_CLOEXEC));
    // Without a watcher the signals keep their default action: they end the run at once.
    if (!signals_.valid() || !wake_.valid()) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    watcher_ = std::thread([this] { watch(); });
}

StopSignals::~StopSignals() {
    if (!watcher_.joinable()) return;
    const std::uint64_t one = 1;
    (void)!write(wake_.get(), &one, sizeof one);
    watcher_.join();
}

void StopSignals::watch() {
    for (;;) {
        pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        signalfd_siginfo info {};
        if (read(signals_.get(), &info, sizeof info) != sizeof info) continue;
        int expected = 0;
        // Only the first signal stops the run; later ones find it stopping already.
        if (!stopped_by.compare_exchange_strong(expected, static_cast<int>(info.ssi_signo))) continue;
        stopped = true;
        std::lock_guard<std::mutex> lock(sockets_mutex);
        if (sockets_kept > 0)
            shutdown_postponed = true;
        else
            shut_down_sockets();
    }
}

SocketsKeptThroughStop::SocketsKeptThroughStop() {
    std::lock_guard<std::mutex> lock(sockets_mutex);
    ++sockets_kept;
}

SocketsKeptThroughStop::~SocketsKeptThroughStop() {
    std::lock_guard<std::mutex> lock(sockets_mutex);
    if (--sockets_kept > 0 || !shutdown_postponed) return;
    shutdown_postponed = false;
    shut_down_sockets();
}

int stop_signal() { return stopped_by.load(); }

const std::atomic<bool>& stop_flag() { return stopped; }

const char* stop_signal_name(int signal) {
    switch (signal) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
        case SIGHUP: return "SIGHUP";
        default: return "an unknown signal";
    }
}

std::string stop_text(int signal) {
    return std::string("The run was stopped by signal ") + stop_signal_name(signal) + ".";
}

}  // namespace kro::platform
