#include "platform/status_watch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/status_block.h"
#include "platform/system_error.h"
#include "platform/unique_fd.h"

namespace kro::platform {

namespace {

// POSIX shared memory objects live as files in this folder on Linux.
constexpr const char kSharedMemoryFolder[] = "/dev/shm";

std::string field_text(const char* field) { return std::string(field, strnlen(field, JobStatusLayout::field)); }

// The process ids of the job blocks of uid, from the names in the shared-memory folder.
std::vector<long> job_pids(unsigned long uid) {
    std::vector<long> pids;
    const std::string prefix = watch_marker_name(uid).substr(1) + ".";
    std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(kSharedMemoryFolder), closedir);
    if (!folder) return pids;
    while (const dirent* entry = readdir(folder.get())) {
        const std::string name = entry->d_name;
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        pids.push_back(std::stol(digits));
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

}  // namespace

StatusWatch::StatusWatch(unsigned long uid, std::string& error) : uid_(uid), marker_(watch_marker_name(uid)) {
    // Readable by all: a job only looks whether it is there.
    UniqueFd fd(shm_open(marker_.c_str(), O_RDWR | O_CREAT, 0644));
    if (!fd.valid()) {
        error = system_error_text(errno);
        return;
    }
    fchmod(fd.get(), 0644);
    on_ = true;
}

StatusWatch::~StatusWatch() {
    if (on_) shm_unlink(marker_.c_str());
}

std::vector<JobStatus> StatusWatch::read(std::vector<std::string>& problems) const {
    std::vector<JobStatus> jobs;
    for (long pid : job_pids(uid_)) {
        const std::string name = job_status_name(uid_, pid);
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            shm_unlink(name.c_str());  // left by a job that did not end cleanly
            continue;
        }
        UniqueFd fd(shm_open(name.c_str(), O_RDONLY, 0));
        if (!fd.valid()) {
            problems.push_back("cannot read the status of process " + std::to_string(pid) + ": " +
                               system_error_text(errno));
            continue;
        }
        struct stat info {};
        if (fstat(fd.get(), &info) != 0 || static_cast<std::size_t>(info.st_size) < JobStatusLayout::size)
            continue;  // still being made
        void* data = mmap(nullptr, JobStatusLayout::size, PROT_READ, MAP_SHARED, fd.get(), 0);
        if (data == MAP_FAILED) continue;
        const char* bytes = static_cast<const char*>(data);
        jobs.push_back({pid, field_text(bytes + JobStatusLayout::job_file), field_text(bytes + JobStatusLayout::table),
                        field_text(bytes + JobStatusLayout::text)});
        munmap(data, JobStatusLayout::size);
    }
    return jobs;
}

}  // namespace kro::platform
