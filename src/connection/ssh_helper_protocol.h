// What the agent and its SSH port-forwarding helper (kro-plink) share: the names of the
// ready signal and of the error block, and the block's layout. The agent creates both
// before it starts the helper; the helper posts the signal once its local port listens,
// or writes its error text after the prefix when it fails before that.
#pragma once

#include <cstddef>

inline constexpr char kSshHelperName[] = "kro-plink";
inline constexpr char kSshReadySignalName[] = "/VelmarSSHMutex";
inline constexpr char kSshErrorBlockName[] = "/PlinkSharedErrorMsg";
inline constexpr std::size_t kSshErrorBlockSize = 6144;
inline constexpr char kSshErrorPrefix[] = "SSH Error: ";
inline constexpr std::size_t kSshErrorPrefixLength = sizeof kSshErrorPrefix - 1;
// Held by an agent from creating the error block until it has its helper's answer, so
// that two agents starting helpers at once never take each other's signal or text.
inline constexpr char kSshStartLockName[] = "/VelmarSSHMutex.start-lock";
