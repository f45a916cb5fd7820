// The agent's process-wide state: the run's output files and the SSH helper processes.
// Set up by the runner before the job starts, read by every part, torn down after it.
#pragma once

#include <cstdio>
#include <string>

#include "platform/process.h"

namespace kro::report {

extern FILE* log_file;          // appended to ("a+"), or null before it is opened
extern FILE* session_file;      // rewritten ("w"), or null before it is opened
extern std::string log_path;    // the log file's path as the check line shows it
extern std::string job_path;    // the job file's absolute path, for the status a job publishes
extern std::string banner_text; // banner line + notice line
extern platform::ProcessHandle source_tunnel_process;  // SSH helper of the source (or only) server
extern platform::ProcessHandle target_tunnel_process;  // SSH helper of a sync job's target server

// The out-of-memory message to the log, when it is open (registered by the runner).
void log_out_of_memory(const char* message);

}  // namespace kro::report
