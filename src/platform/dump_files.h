// The crash-dump folder and its files KRO_Dump_000.dmp to KRO_Dump_998.dmp. A run holds
// an advisory lock (flock) on its own dump file as long as it keeps it open, so that no
// other run mistakes the empty file of a running agent for one that was left behind.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace kro::platform {

// The folder for dump files, absolute: `given` when not empty, else $XDG_DATA_HOME/Velmar,
// else $HOME/.local/share/Velmar. "" when there is no folder to name.
std::string dump_directory_path(const std::string& given);

// Removes the empty dump files of earlier runs: each regular file whose name's text after
// its first dot is "dmp" (any case), has no bytes and is not held by a running agent.
void remove_empty_dump_files(const std::string& directory);

// A dump file of this run: created empty and locked for as long as `fd` stays open.
struct DumpFile {
    UniqueFd fd;       // invalid when no file could be made
    std::string path;  // the full path
};

// Creates the first free name of KRO_Dump_000.dmp ... KRO_Dump_998.dmp; when every one
// is taken, "KRO_Dump_  0", replacing an earlier file of that name.
DumpFile create_dump_file(const std::string& directory);

}  // namespace kro::platform
