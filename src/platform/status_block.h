// The status texts a running sync job publishes for a watching program.
//
// Two kinds of block, both named shared memory that the job only writes when a watcher has
// asked for it:
// - "/MappingObj": one 1024-byte block for the machine, created by a watcher of its own;
//   the text sits at its start and ends with a zero byte.
// - a block of each job, "/MappingObj.<uid>.<pid>", made by the job while kro-status
//   watches its user's jobs (it creates "/MappingObj.<uid>"). It holds the same text at its
//   start, then the job file's path and the table being synced, each zero-ended in a
//   1024-byte field, so that two jobs of one user stay apart and each line names its job.
//   The job removes its block when it ends; a block whose process is gone is stale.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/shared_memory.h"

namespace kro::platform {

class StatusBlock {
public:
    static constexpr const char* name = "/MappingObj";
    static constexpr std::size_t size = 1024;

    // The job's side: maps the machine's block when a watcher created it, and makes the
    // job's own block when its user's jobs are watched (also later, at a status text, when
    // the watcher starts after the job).
    static StatusBlock open_for_job(const std::string& job_file);

    StatusBlock() = default;
    StatusBlock(StatusBlock&& other) noexcept { *this = std::move(other); }
    StatusBlock& operator=(StatusBlock&& other) noexcept;
    ~StatusBlock();

    // True when the texts may reach a watcher, now or once one starts watching.
    bool is_open() const;
    // Replaces the text, cut to 1023 bytes; an empty text clears it.
    void set_status(std::string_view text);
    // The table the texts are about from now on ("" for none).
    void set_table(std::string_view table);

private:
    void open_own_block();
    void close_own_block();

    std::unique_ptr<SharedMemory> machine_;
    std::unique_ptr<SharedMemory> own_;
    std::string own_name_;
    std::string job_file_;
    std::string table_;
    std::chrono::steady_clock::time_point next_look_{};
};

// The layout of a job's block.
struct JobStatusLayout {
    static constexpr std::size_t field = 1024;
    static constexpr std::size_t text = 0, job_file = field, table = 2 * field;
    static constexpr std::size_t size = 3 * field;
};

// "/MappingObj.<uid>": the name a watcher of that user's jobs creates.
std::string watch_marker_name(unsigned long uid);
// "/MappingObj.<uid>.<pid>": a job's own block.
std::string job_status_name(unsigned long uid, long pid);

}  // namespace kro::platform
