#include "runner/crash_dump_handler.h"

#include "common/out_of_memory.h"
#include "platform/crash_report.h"
#include "platform/directory.h"
#include "platform/text_convert.h"

using namespace kro::platform;
using namespace kro::common;

namespace kro::runner {

namespace {

// The message on standard error is cut here, path and all.
constexpr std::size_t kMessageCharacters = 511;

void discard_on_out_of_memory(const char*) { discard_crash_report_file(); }

}  // namespace

void CrashDumpHandler::install(const std::string& directory, const char* program_version) {
    std::string folder = dump_directory_path(directory);
    if (!folder.empty() && make_private_directories(folder)) {
        remove_empty_dump_files(folder);
        dump_file_ = create_dump_file(folder);
    }
    std::string message =
        utf8_prefix("KRO crashed!, dump file saved in " + dump_file_.path, kMessageCharacters);
    arm_crash_report(dump_file_.fd.get(), dump_file_.path.c_str(), message.c_str(), program_version);
    if (dump_file_.fd.valid()) add_out_of_memory_hook(discard_on_out_of_memory);
}

CrashDumpHandler::~CrashDumpHandler() {
    if (!dump_file_.fd.valid()) return;
    remove_out_of_memory_hook(discard_on_out_of_memory);
    discard_crash_report_file();
}

}  // namespace kro::runner
