#include "platform/host_name.h"

#include <climits>
#include <unistd.h>

namespace kro::platform {

std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace kro::platform
