#include "platform/socket_reset.h"

#include <sys/socket.h>

namespace kro::platform {

void set_reset_on_close(int fd, bool on) {
    if (fd < 0) return;
    // A zero linger time: close() discards what is queued and sends a reset.
    const linger setting{on ? 1 : 0, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &setting, sizeof setting);
}

}  // namespace kro::platform
