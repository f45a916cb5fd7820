#include "diagnostics.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "connection/ssh_helper_protocol.h"
#include "platform/named_semaphore.h"
#include "platform/shared_memory.h"

using namespace kro::platform;
using namespace kro::connection;

namespace kro::plink {

namespace {

bool ready = false;

}  // namespace

void log_line(const std::string& text) {
    std::string line = "kro-plink: " + text.substr(0, 480) + "\n";
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    // Writes of up to PIPE_BUF bytes into a writable pipe never block.
    if (poll(&p, 1, 0) == 1 && (p.revents & POLLOUT)) {
        ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
        (void)n;
    }
}

int fail_before_ready(const std::string& text) {
    log_line(text);
    if (!ready) {
        int error = 0;
        auto block = SharedMemory::open(ssh_shared_name(kSshErrorBlockName).c_str(), kSshErrorBlockSize, error);
        if (block) {
            char* message = block->data() + kSshErrorPrefixLength;
            std::size_t room = block->size() - kSshErrorPrefixLength - 1;
            std::size_t n = std::min(text.size(), room);
            std::memcpy(message, text.data(), n);
            message[n] = '\0';
        }
    }
    return 1;
}

void signal_ready() {
    ready = true;
    int error = 0;
    auto semaphore = NamedSemaphore::open_existing(ssh_shared_name(kSshReadySignalName).c_str(), error);
    if (semaphore) semaphore->post();
}

}  // namespace kro::plink
