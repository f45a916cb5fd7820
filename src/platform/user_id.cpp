#include "platform/user_id.h"

#include <unistd.h>

unsigned long current_user_id() { return static_cast<unsigned long>(geteuid()); }
