// The whole run of the agent: command line, files, job file, dispatch, exit code.
#pragma once

namespace kro::runner {

// Returns the process exit code: 0 when the job ran and succeeded, else 1.
int run_agent(int argc, char** argv);

}  // namespace kro::runner
