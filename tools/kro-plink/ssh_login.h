// Connecting to the SSH server: the TCP connection, the host key check against the
// user's known_hosts file, and the login by password or by private key.
#pragma once

#include <memory>
#include <string>

#include <libssh/libssh.h>

#include "plink_options.h"

namespace kro::plink {

struct SshSessionDeleter {
    void operator()(ssh_session session) const {
        if (ssh_is_connected(session)) ssh_disconnect(session);
        ssh_free(session);
    }
};
using SshSessionPtr = std::unique_ptr<ssh_session_struct, SshSessionDeleter>;

// A logged-in session in blocking mode, or null with the reason in `error`.
SshSessionPtr open_ssh_session(const PlinkOptions& options, std::string& error);

}  // namespace kro::plink
