// Stopping a run from outside: SIGTERM (systemctl stop, a unit's time-out), SIGINT (Ctrl-C)
// and SIGHUP (a closed terminal). StopSignals blocks them in the thread that makes it and
// in every thread started after it, and takes them on a watcher thread of its own: the
// first one sets the process-wide stop flag and shuts down every network socket of the
// process, so that blocked client-library calls return with an error and the job unwinds
// through its ordinary failure paths (its owners remove temporary files, the servers roll
// back what the closed sessions held). SIGXFSZ is ignored: a write beyond the file size
// limit then fails with EFBIG and is reported like any other failed write.
//
// One instance, made on the main thread before any other thread starts, living to the end
// of the run.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/unique_fd.h"

namespace kro::platform {

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void watch();

    UniqueFd signals_;  // signalfd of the stop signals
    UniqueFd wake_;     // eventfd that ends the watcher
    std::thread watcher_;
};

// While one lives, a stop leaves the process's sockets alone: a transfer under way (a
// report mail) ends by itself, within its own time-outs. A mail cannot be taken back once
// the server may hold it, and cutting a failure report off would lose the one message the
// stop must not lose. When the last one ends after a stop, the sockets are shut down then.
class SocketsKeptThroughStop {
public:
    SocketsKeptThroughStop();
    ~SocketsKeptThroughStop();
    SocketsKeptThroughStop(const SocketsKeptThroughStop&) = delete;
    SocketsKeptThroughStop& operator=(const SocketsKeptThroughStop&) = delete;
};

// The signal that stopped the run, 0 while none did.
int stop_signal();
inline bool stop_requested() { return stop_signal() != 0; }
// Set once a stop signal arrived; for callbacks that poll a flag (libcurl's progress).
const std::atomic<bool>& stop_flag();
// "SIGTERM", "SIGINT" or "SIGHUP".
const char* stop_signal_name(int signal);
// "The run was stopped by signal SIGTERM." (or the other names).
std::string stop_text(int signal);

}  // namespace kro::platform
