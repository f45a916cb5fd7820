// The name of the machine kro runs on.
#pragma once

#include <string>

namespace kro::platform {

// The host name as the system knows it; empty when it cannot be read.
std::string host_name();

}  // namespace kro::platform
