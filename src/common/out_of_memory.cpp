#include "common/out_of_memory.h"

#include <cstdio>
#include <cstdlib>

namespace kro::common {

namespace {

constexpr int kMaxHooks = 4;
OutOfMemoryHook hooks[kMaxHooks] = {};

}  // namespace

void add_out_of_memory_hook(OutOfMemoryHook hook) {
    for (auto& slot : hooks) {
        if (slot == hook) return;
    }
    for (auto& slot : hooks) {
        if (!slot) {
            slot = hook;
            return;
        }
    }
}

void remove_out_of_memory_hook(OutOfMemoryHook hook) {
    for (auto& slot : hooks) {
        if (slot == hook) slot = nullptr;
    }
}

void out_of_memory() {
    // No allocation from here on: write fixed bytes only, then leave without clean-up.
    static const char kMessage[] = "\nNot enough memory, application terminated! ";
    std::fputs(kMessage, stdout);
    std::fflush(stdout);
    for (OutOfMemoryHook hook : hooks) {
        if (hook) hook(kMessage);
    }
    // Exit code 1: a run that ran out of memory did not succeed.
    std::_Exit(1);
}

void* checked_realloc(void* block, unsigned long size) {
    void* p = std::realloc(block, size ? size : 1);
    if (!p) out_of_memory();
    return p;
}

}  // namespace kro::common
