#include "common/out_of_memory.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "runner/process_state.h"

void out_of_memory() {
    // No allocation from here on: write fixed bytes only, then leave without clean-up.
    static const char kMessage[] = "\nNot enough memory, application terminated! ";
    std::fputs(kMessage, stdout);
    std::fflush(stdout);
    if (log_file) {
        std::fputs(kMessage, log_file);
        std::fflush(log_file);
    }
    // Exit code 1: a run that ran out of memory did not succeed.
    _exit(1);
}

void* checked_malloc(unsigned long size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) out_of_memory();
    return p;
}

void* checked_realloc(void* block, unsigned long size) {
    void* p = std::realloc(block, size ? size : 1);
    if (!p) out_of_memory();
    return p;
}
