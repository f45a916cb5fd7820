#include "platform/dump_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "platform/unique_dir.h"

namespace kro::platform {

namespace {

constexpr int kLastNumber = 998;

std::string current_directory() {
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    return cwd ? cwd.get() : "";
}

// An absolute path without trailing slashes.
std::string absolute_path(std::string path) {
    if (path[0] != '/') {
        std::string cwd = current_directory();
        if (cwd.empty()) return "";
        path = cwd + "/" + path;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// A non-empty value of an environment variable that holds an absolute path.
const char* absolute_env_path(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? value : nullptr;
}

bool is_dump_file_name(std::string_view name) {
    std::size_t dot = name.find('.');
    if (dot == std::string_view::npos || dot + 1 == name.size()) return false;
    std::string_view extension = name.substr(dot + 1);
    return extension.size() == 3 && strncasecmp(extension.data(), "dmp", 3) == 0;
}

// True when `path` still names the file open as `fd`: a file's name may pass to a
// newer file between the moments we look at them.
bool still_named(int fd, const std::string& path) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void remove_if_empty_and_free(const std::string& path) {
    // Opened for writing, like a file we could delete; links, pipes and folders are left
    // alone (O_NONBLOCK: a named pipe must not stall the start).
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return;
    // A file locked by another process is the dump file of an agent that is running;
    // where there are no locks, no file can be known to be free.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;
    struct stat info;
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != 0) return;
    if (still_named(fd.get(), path)) unlink(path.c_str());
}

// Locks a file this run has just created. False when another run's clean-up got hold of
// it first (it was empty and not locked yet) and may have removed it. On a file system
// without locks the file serves unlocked (and other runs keep it, see above).
bool lock_new_file(int fd, const std::string& path) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return false;
    return still_named(fd, path);
}

}  // namespace

std::string dump_directory_path(const std::string& given) {
    if (!given.empty()) return absolute_path(given);
    if (const char* data_home = absolute_env_path("XDG_DATA_HOME"))
        return absolute_path(std::string(data_home) + "/Velmar");
    if (const char* home = absolute_env_path("HOME"))
        return absolute_path(std::string(home) + "/.local/share/Velmar");
    return "";
}

void remove_empty_dump_files(const std::string& directory) {
    UniqueDir dir(opendir(directory.c_str()));
    if (!dir) return;
    while (const dirent* entry = readdir(dir.get())) {
        if (is_dump_file_name(entry->d_name)) remove_if_empty_and_free(directory + "/" + entry->d_name);
    }
}

DumpFile create_dump_file(const std::string& directory) {
    char name[32];
    for (int n = 0; n <= kLastNumber; ++n) {
        std::snprintf(name, sizeof name, "%s%s%03d.dmp", "KRO", "_Dump_", n);
        std::string path = directory + "/" + name;
        UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid()) {
            if (errno == EEXIST) continue;
            return {};  // the folder does not take files: no other name will do better
        }
        if (lock_new_file(fd.get(), path)) return {std::move(fd), path};
    }
    std::snprintf(name, sizeof name, "%s%s%3d", "KRO", "_Dump_", 0);
    std::string path = directory + "/" + name;
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    // Emptied only once it is ours: a running agent may hold it.
    if (!fd.valid() || !lock_new_file(fd.get(), path) || ftruncate(fd.get(), 0) != 0) return {};
    return {std::move(fd), path};
}

}  // namespace kro::platform
