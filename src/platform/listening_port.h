// Which process a local TCP port belongs to.
#pragma once

#include "platform/process.h"

namespace kro::platform {

// True when the process holds a listening TCP socket that takes the connections made to
// 127.0.0.1:port (bound to 127.0.0.1, to 0.0.0.0, or to ::ffff:127.0.0.1).
bool process_listens_on_loopback(ProcessHandle process, int port);

}  // namespace kro::platform
