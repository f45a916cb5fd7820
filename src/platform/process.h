// Child processes of the agent (the SSH port-forwarding helper).
// A ProcessHandle is the child's process id, or kNoProcess.
#pragma once

#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace kro::platform {

using ProcessHandle = long;
constexpr ProcessHandle kNoProcess = -1;

// Ends the process (TERM, then KILL after a short grace), reaps it and sets the handle
// to kNoProcess. Does nothing for kNoProcess.
void terminate_process(ProcessHandle& process);

// A started child and the agent's ends of its two pipes: `input` feeds the child's
// standard input, `output` receives its standard output and standard error.
struct SpawnedProcess {
    ProcessHandle process = kNoProcess;
    UniqueFd input;
    UniqueFd output;
};

// Starts argv[0] (looked up on PATH when it holds no '/') with the arguments argv and
// the agent's environment. The child gets none of the agent's other descriptors.
// False with the system error in `error` when the program cannot be started.
bool spawn_with_pipes(const std::vector<std::string>& argv, SpawnedProcess& child, int& error);

// True once the process has ended (it is not reaped, so its id stays reserved until
// terminate_process).
bool process_has_exited(ProcessHandle process);

// Writes all bytes to a pipe; a pipe whose reader is gone gives false, not a signal.
bool write_to_pipe(int fd, const char* data, std::size_t length);

// Waits at most ms milliseconds until every writer of the pipe has closed it (its
// process ended), discarding what they wrote. True when it closed.
bool wait_for_pipe_close(int fd, int ms);

// The folder of the running executable with its trailing '/', or "" when unknown.
std::string own_executable_directory();

// True when path names a file this process may execute.
bool is_executable_file(const std::string& path);

void sleep_ms(int ms);

}  // namespace kro::platform
