#include "report/process_state.h"

using namespace kro::platform;

namespace kro::report {

FILE* log_file = nullptr;
FILE* session_file = nullptr;
std::string log_path;
std::string job_path;
std::string banner_text;
ProcessHandle source_tunnel_process = kNoProcess;
ProcessHandle target_tunnel_process = kNoProcess;

void log_out_of_memory(const char* message) {
    if (!log_file) return;
    std::fputs(message, log_file);
    std::fflush(log_file);
}

}  // namespace kro::report
