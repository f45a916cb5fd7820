// The program's rule for exhausted memory: tell the console and the log, then end the
// process at once with exit code 1 (no clean-up; the session file stays unclosed).
#pragma once

[[noreturn]] void out_of_memory();

// Allocation helpers that never return null: they call out_of_memory() instead.
void* checked_malloc(unsigned long size);
void* checked_realloc(void* block, unsigned long size);
