#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace kro::platform {

int last_system_error() { return errno; }

std::string system_error_text(int code) {
    char buffer[256];
    // The GNU strerror_r gives a pointer that may or may not point into the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? text : "";
}

}  // namespace kro::platform
