// The local end of the tunnel: a listener on 127.0.0.1 whose every connection is carried
// through its own direct-tcpip channel of one SSH session. One thread, one poll() over the
// session, the listener, standard input and every connection; data moves only when the
// far side can take it (the SSH window, the socket's buffer), so nothing is held twice
// and nothing spins.
#pragma once

#include <libssh/libssh.h>

#include "platform/unique_fd.h"
#include "plink_options.h"

namespace kro::plink {

// A listening socket on 127.0.0.1:port, or an invalid one with the system error.
platform::UniqueFd listen_on_loopback(int port, int& error);

// True when standard input is still open and has not asked the helper to end.
bool input_still_open();

// Forwards until standard input says "exit" or closes (0) or the SSH session ends (1).
// The session must be logged in; it is switched to non-blocking mode here.
int run_port_forwarding(ssh_session session, int listener, const PlinkOptions& options);

}  // namespace kro::plink
