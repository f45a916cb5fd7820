// The SSH tunnel of a server: the helper kro-plink, started before the server's first
// connection, forwards local_port on 127.0.0.1 through the SSH server to host:port.
// The agent waits up to 15 s for the helper's ready signal and shows the helper's own
// error text when it does not come. The helpers of start_job_tunnels are recorded in
// source_tunnel_process / target_tunnel_process, which the runner ends at exit.
// Every failure is reported here (console, check line, log; no session entry).
#pragma once

#include <string>

#include "common/str_buf.h"
#include "connection/connection_info.h"
#include "platform/process.h"

inline constexpr int kSshReadyTimeoutMs = 15000;

// The helper next to the agent's executable, else the bare name (found on PATH).
std::string ssh_helper_path();
// The helper's command line for the server's login kind (password or key).
StrBuf build_ssh_command_line(const std::string& program, const ConnectionInfo& info);

// 0: started and ready (the helper is in `process` and info.ssh_process); 1: could not
// be started; 2: started but not ready in time (it was stopped and `process` is none).
// After 1 or 2 the caller reports with report_system_error or report_ssh_error.
int start_ssh_tunnel(ConnectionInfo& info, ProcessHandle& process);
// Starts the tunnels of the given servers (null: none); 1, or 0 after reporting why.
int start_job_tunnels(ConnectionInfo* source, ConnectionInfo* target);
// Replaces the server's helper by a new one (after a lost connection); false when the
// new one does not become ready.
bool restart_ssh_tunnel(ConnectionInfo& info);
// Tells the helper to end ("exit" on its input), gives it up to 200 ms, and closes the
// pipes. The process itself is ended by its owner (terminate_process).
void stop_ssh_client(ConnectionInfo& info);

// Stops a server's SSH client when a job's run ends, whichever way it ends. Declared
// before the run's connection, so the connection is closed first.
class SshClientStopper {
public:
    explicit SshClientStopper(ConnectionInfo& info) : info_(info) {}
    SshClientStopper(const SshClientStopper&) = delete;
    SshClientStopper& operator=(const SshClientStopper&) = delete;
    ~SshClientStopper() {
        if (info_.use_ssh) stop_ssh_client(info_);
    }

private:
    ConnectionInfo& info_;
};

// Shows the error block's text: the helper's own message after "SSH Error: " when it
// wrote one, else `text` ("FATAL ERROR: Network error: Connection timed out" when null).
// Ends the current start attempt (releases the error block).
void report_ssh_error(const char* text);
// report_ssh_error with "<text>\n<code>:<system message>".
void report_system_error(int code, const char* text);
