// The crash report: handlers for the fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT) that write a plain-text report of the crash into a file opened beforehand,
// tell standard error where it is, and let the signal end the process as it would have.
// The handlers run on an alternate stack (a stack overflow still gets its report) and
// do only async-signal-safe work: no allocation, no stdio, nothing that takes a lock.
#pragma once

namespace kro::platform {

// Arms the handlers. Reports go to report_fd, the open, empty file at report_path (-1
// and "" for none), and saved_message (one line, copied) goes to standard error after a
// report was saved. Without a file, or when writing it fails, the report goes to standard
// error. program_version heads every report. Called once, on the main thread.
void arm_crash_report(int report_fd, const char* report_path, const char* saved_message,
                      const char* program_version);

// After a report, text (copied, up to 63 bytes) is written to fd, an unbuffered file the
// run writes whole entries to, so that the file ends well-formed. -1 disarms it.
void close_file_on_crash(int fd, const char* text);

// Removes the report file, unused (its descriptor stays with its owner); a later crash
// reports on standard error. Async-signal-safe and allocation-free, so that the
// out-of-memory exit may call it too.
void discard_crash_report_file();

}  // namespace kro::platform
