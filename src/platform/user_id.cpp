#include "platform/user_id.h"

#include <unistd.h>

namespace kro::platform {

unsigned long current_user_id() { return static_cast<unsigned long>(geteuid()); }

}  // namespace kro::platform
