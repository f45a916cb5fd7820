// The system's error numbers and their texts.
#pragma once

#include <string>

namespace kro::platform {

// The error number of the last failed system call on this thread.
int last_system_error();
// The system's message for an error number.
std::string system_error_text(int code);

}  // namespace kro::platform
