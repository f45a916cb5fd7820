// The SSH tunnel of a server: the helper kro-plink, started before the server's first
// connection, forwards local_port on 127.0.0.1 through the SSH server to host:port.
// The agent waits up to 15 s for the helper's ready signal and shows the helper's own
// error text when it does not come. A server's helper is owned by its ConnectionInfo
// (info.ssh) and recorded in source_tunnel_process / target_tunnel_process, which the
// runner ends at exit. Every failure is reported here (console, check line, log; no
// session entry).
//
// Threads: each server's tunnel may be started, restarted and stopped on its own thread
// while another thread works with the other server. Starts are taken one at a time (a
// lock shared by every agent of this user), and no other state is shared.
#pragma once

#include <string>
#include <vector>

#include "connection/connection_info.h"

namespace kro::connection {

inline constexpr int kSshReadyTimeoutMs = 15000;

// The helper next to the agent's executable, else the bare name (found on PATH).
std::string ssh_helper_path();
// The helper's arguments, the program first, for the server's login kind (password or
// key). The password (or key passphrase) is not among them: with -pwstdin the helper reads
// it from its input, so that no process listing shows it.
std::vector<std::string> build_ssh_arguments(const std::string& program, const ConnectionInfo& info);

// Starts the tunnels of the given servers (null: none), recording the source's helper in
// source_tunnel_process and the target's in target_tunnel_process; 1, or 0 after
// reporting why.
int start_job_tunnels(ConnectionInfo* source, ConnectionInfo* target);
// Replaces the server's helper by a new one (after a lost connection); false when the
// new one does not become ready.
bool restart_ssh_tunnel(ConnectionInfo& info);
// Tells the helper to end ("exit" on its input), gives it up to 200 ms, and closes the
// pipes. The process itself is ended by its record's owner (terminate_process).
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

}  // namespace kro::connection
