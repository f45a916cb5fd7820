// Ending a connection abruptly: for a session whose peer may be blocked writing to us.
#pragma once

namespace kro::platform {

// With on, every close() of the socket fd resets the connection instead of ending it
// politely, so that a peer blocked sending what will never be read fails at once instead
// of waiting for its write time-out; off gives the polite close back. Nothing happens for
// a descriptor that is no socket.
void set_reset_on_close(int fd, bool on);

}  // namespace kro::platform
