// The user this process acts for.
#pragma once

namespace kro::platform {

// The effective user id: the owner of the shared objects this process creates.
unsigned long current_user_id();

}  // namespace kro::platform
