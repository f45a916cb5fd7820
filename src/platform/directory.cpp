#include "platform/directory.h"

#include <cerrno>
#include <sys/stat.h>

bool make_directory(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}
