// kro-plink: the agent's SSH port-forwarding helper. It logs in to an SSH server,
// listens on 127.0.0.1 at the local port, posts the agent's ready signal, and carries
// every connection to that port through the SSH server to HOST:PORT, until the agent
// writes "exit" on its standard input or closes it.
#include <csignal>
#include <cstring>
#include <string>

#include <libssh/libssh.h>

#include "diagnostics.h"
#include "plink_options.h"
#include "port_forwarder.h"
#include "ssh_login.h"

using namespace kro::platform;
using namespace kro::plink;

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    PlinkOptions options;
    std::string error;
    if (!parse_plink_options(argc, argv, options, error)) return fail_before_ready(error);

    ssh_init();
    int exit_code = 1;
    {
        SshSessionPtr session = open_ssh_session(options, error);
        if (!session) {
            exit_code = fail_before_ready(error);
        } else {
            int listen_error = 0;
            UniqueFd listener = listen_on_loopback(options.local_port, listen_error);
            if (!listener.valid()) {
                exit_code = fail_before_ready("Unable to listen on 127.0.0.1 port " +
                                              std::to_string(options.local_port) + ": " +
                                              std::strerror(listen_error));
            } else if (!input_still_open()) {
                // The agent is gone or asked us to end before we were ready: no signal,
                // which could otherwise be taken for another helper's.
                exit_code = 0;
            } else {
                signal_ready();
                exit_code = run_port_forwarding(session.get(), listener.get(), options);
            }
        }
    }
    ssh_finalize();
    return exit_code;
}
