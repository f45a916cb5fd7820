// Folders on disk.
#pragma once

#include <string>

namespace kro::platform {

// Creates one folder (its parent must exist). True when it exists afterwards; otherwise
// last_system_error() says why.
bool make_directory(const std::string& path);

// Creates the folder and every missing parent, readable by the owner only. True when the
// folder exists afterwards.
bool make_private_directories(const std::string& path);

}  // namespace kro::platform
