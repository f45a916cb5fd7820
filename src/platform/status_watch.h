// The watcher's side of the job status blocks (platform/status_block.h): it creates the
// marker that asks one user's jobs to publish, and reads the blocks of that user's running
// jobs. The marker is removed when the watch ends.
#pragma once

#include <string>
#include <vector>

namespace kro::platform {

struct JobStatus {
    long pid = 0;
    std::string job_file;
    std::string table;
    std::string text;
};

class StatusWatch {
public:
    // Watches the jobs of the user uid. Not watching (see is_on) when the marker cannot be
    // made, with the reason in error.
    StatusWatch(unsigned long uid, std::string& error);
    StatusWatch(const StatusWatch&) = delete;
    StatusWatch& operator=(const StatusWatch&) = delete;
    ~StatusWatch();

    bool is_on() const { return on_; }
    // The running jobs' status, by process id. A block that cannot be read is left out with
    // why in problems; the block of a process that is gone is removed.
    std::vector<JobStatus> read(std::vector<std::string>& problems) const;

private:
    unsigned long uid_;
    std::string marker_;
    bool on_ = false;
};

}  // namespace kro::platform
