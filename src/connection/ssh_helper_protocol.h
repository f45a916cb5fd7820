// What the agent and its SSH port-forwarding helper (kro-plink) share: the names of the
// ready signal and of the error block, and the block's layout. The agent creates both
// before it starts the helper; the helper posts the signal once its local port listens,
// or writes its error text after the prefix when it fails before that.
#pragma once

#include <cstddef>
#include <string>

#include "platform/user_id.h"

namespace kro::connection {

inline constexpr char kSshHelperName[] = "kro-plink";
inline constexpr char kSshReadySignalName[] = "/VelmarSSHMutex";
inline constexpr char kSshErrorBlockName[] = "/PlinkSharedErrorMsg";
inline constexpr std::size_t kSshErrorBlockSize = 6144;
inline constexpr char kSshErrorPrefix[] = "SSH Error: ";
inline constexpr std::size_t kSshErrorPrefixLength = sizeof kSshErrorPrefix - 1;
// Held by an agent from creating the error block until it has its helper's answer, so
// that two agents starting helpers at once never take each other's signal or text.
inline constexpr char kSshStartLockName[] = "/VelmarSSHMutex.start-lock";

// The name under which this user's agents and helpers share the object `base` (one of
// the names above): every user has their own, so that objects another user made (and
// may access alone) neither block nor reach this user's tunnels.
inline std::string ssh_shared_name(const char* base) {
    return std::string(base) + "." + std::to_string(platform::current_user_id());
}

}  // namespace kro::connection
