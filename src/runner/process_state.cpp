#include "runner/process_state.h"

FILE* log_file = nullptr;
FILE* session_file = nullptr;
std::string log_path;
std::string banner_text;
ProcessHandle source_tunnel_process = kNoProcess;
ProcessHandle target_tunnel_process = kNoProcess;
