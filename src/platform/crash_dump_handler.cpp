#include "platform/crash_dump_handler.h"

#include <climits>
#include <cstring>
#include <unistd.h>

#include "common/out_of_memory.h"
#include "platform/crash_report.h"

namespace {

// The message on standard error is cut here, path and all.
constexpr std::size_t kMessageCharacters = 511;

// The dump file's path for the out-of-memory exit, which may not allocate.
char unused_dump_path[PATH_MAX];

void remove_unused_dump(const char*) {
    if (unused_dump_path[0]) unlink(unused_dump_path);
}

// The text cut after `characters` UTF-8 characters.
std::string cut_to_characters(const std::string& text, std::size_t characters) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool starts_character = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (starts_character && seen++ == characters) return text.substr(0, i);
    }
    return text;
}

}  // namespace

void CrashDumpHandler::install(const std::string& directory, const char* program_version) {
    std::string folder = dump_directory_path(directory);
    if (!folder.empty() && make_directories(folder)) {
        remove_empty_dump_files(folder);
        dump_file_ = create_dump_file(folder);
    }
    if (dump_file_.fd.valid() && dump_file_.path.size() < sizeof unused_dump_path) {
        std::memcpy(unused_dump_path, dump_file_.path.c_str(), dump_file_.path.size() + 1);
        add_out_of_memory_hook(remove_unused_dump);
    }
    std::string message =
        cut_to_characters("KRO crashed!, dump file saved in " + dump_file_.path, kMessageCharacters);
    arm_crash_report(dump_file_.fd.get(), message.c_str(), program_version);
}

CrashDumpHandler::~CrashDumpHandler() {
    if (!dump_file_.fd.valid()) return;
    forget_crash_report_file();
    remove_out_of_memory_hook(remove_unused_dump);
    unused_dump_path[0] = '\0';
    unlink(dump_file_.path.c_str());
    dump_file_.fd.reset();
}
