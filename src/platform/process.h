// Child processes of the agent (the SSH port-forwarding helper).
// A ProcessHandle is the child's process id, or kNoProcess.
#pragma once

using ProcessHandle = long;
constexpr ProcessHandle kNoProcess = -1;

// Ends the process (TERM, then KILL after a short grace), reaps it and sets the handle
// to kNoProcess. Does nothing for kNoProcess.
void terminate_process(ProcessHandle& process);
