// The run's crash dump: a report file made when the agent starts, filled by the crash
// handlers if the agent dies of a fault (platform/crash_report.h), and removed again when
// the run ends normally. One instance, living from the first statement of the run to its
// last; an exit for lack of memory removes the unused file too.
#pragma once

#include <string>

#include "platform/dump_files.h"

namespace kro::runner {

class CrashDumpHandler {
public:
    CrashDumpHandler() = default;
    CrashDumpHandler(const CrashDumpHandler&) = delete;
    CrashDumpHandler& operator=(const CrashDumpHandler&) = delete;
    // Removes the dump file when it was not used.
    ~CrashDumpHandler();

    // Removes the empty dump files of earlier runs from the dump folder (`directory`, or
    // the default folder when it is empty; created when missing), creates this run's
    // dump file there and arms the crash handlers. program_version heads each report.
    // Without a file a crash reports on standard error.
    void install(const std::string& directory, const char* program_version);

private:
    platform::DumpFile dump_file_;  // locked as long as it is open
};

}  // namespace kro::runner
