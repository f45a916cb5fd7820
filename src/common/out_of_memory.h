// The program's rule for exhausted memory: tell the console and the log, then end the
// process at once with exit code 1 (no clean-up; the session file stays unclosed).
#pragma once

namespace kro::common {

// Last words before the process ends for lack of memory (the log gets the message, an
// unused crash-report file is removed). A hook must not allocate. At most four are kept.
using OutOfMemoryHook = void (*)(const char* message);
void add_out_of_memory_hook(OutOfMemoryHook hook);
void remove_out_of_memory_hook(OutOfMemoryHook hook);

[[noreturn]] void out_of_memory();

// realloc that never returns null: it calls out_of_memory() instead.
void* checked_realloc(void* block, unsigned long size);

}  // namespace kro::common
