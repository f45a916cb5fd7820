// How the helper tells what went wrong: on standard error, and, until it has signalled
// that it is ready, in the agent's error block after the "SSH Error: " prefix.
#pragma once

#include <string>

namespace kro::plink {

// One line on standard error; dropped when nobody reads that pipe and it is full, so the
// helper never blocks on its own diagnostics.
void log_line(const std::string& text);

// A failure that ends the helper before it is ready: logged and written into the error
// block when the agent made one. Returns the helper's exit code (1).
int fail_before_ready(const std::string& text);

// Posts the ready signal; from now on failures are logged only (the agent reads the
// block only when the start fails).
void signal_ready();

}  // namespace kro::plink
