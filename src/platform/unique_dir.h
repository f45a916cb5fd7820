// A folder listing that is closed when its owner goes away.
#pragma once

#include <dirent.h>

#include <memory>

namespace kro::platform {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace kro::platform
