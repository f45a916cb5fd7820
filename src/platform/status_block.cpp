#include "platform/status_block.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/unique_fd.h"
#include "platform/user_id.h"

namespace kro::platform {

namespace {

// A zero-ended text in a field of a block, cut to fit.
void put_field(char* field, std::size_t field_size, std::string_view text) {
    const std::size_t length = std::min(text.size(), field_size - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

// Whether the marker of a watcher of this user's jobs is there (its owner may be root).
bool watched(unsigned long uid) {
    UniqueFd fd(shm_open(watch_marker_name(uid).c_str(), O_RDONLY, 0));
    return fd.valid() || errno == EACCES;
}

}  // namespace

std::string watch_marker_name(unsigned long uid) { return std::string(StatusBlock::name) + "." + std::to_string(uid); }

std::string job_status_name(unsigned long uid, long pid) {
    return watch_marker_name(uid) + "." + std::to_string(pid);
}

StatusBlock StatusBlock::open_for_job(const std::string& job_file) {
    StatusBlock block;
    int error = 0;
    block.machine_ = SharedMemory::open(name, size, error);
    block.job_file_ = job_file;
    block.open_own_block();
    return block;
}

void StatusBlock::open_own_block() {
    // One look at the marker every two seconds at most: status texts come often.
    const auto now = std::chrono::steady_clock::now();
    if (own_ || now < next_look_) return;
    next_look_ = now + std::chrono::seconds(2);
    const unsigned long uid = current_user_id();
    if (!watched(uid)) return;
    const std::string block_name = job_status_name(uid, static_cast<long>(getpid()));
    int error = 0;
    own_ = SharedMemory::create(block_name.c_str(), JobStatusLayout::size, error);
    if (!own_) return;
    own_name_ = block_name;
    char* data = own_->data();
    put_field(data + JobStatusLayout::text, JobStatusLayout::field, "");
    put_field(data + JobStatusLayout::job_file, JobStatusLayout::field, job_file_);
    put_field(data + JobStatusLayout::table, JobStatusLayout::field, table_);
}

StatusBlock& StatusBlock::operator=(StatusBlock&& other) noexcept {
    if (this != &other) {
        close_own_block();
        machine_ = std::move(other.machine_);
        own_ = std::move(other.own_);
        own_name_ = std::exchange(other.own_name_, std::string());
        job_file_ = std::exchange(other.job_file_, std::string());
        table_ = std::move(other.table_);
        next_look_ = other.next_look_;
    }
    return *this;
}

void StatusBlock::close_own_block() {
    own_.reset();
    if (!own_name_.empty()) shm_unlink(own_name_.c_str());
    own_name_.clear();
}

StatusBlock::~StatusBlock() { close_own_block(); }

bool StatusBlock::is_open() const { return machine_ || own_ || !job_file_.empty(); }

void StatusBlock::set_status(std::string_view text) {
    if (machine_) put_field(machine_->data(), size, text);
    if (job_file_.empty()) return;
    open_own_block();
    if (own_) put_field(own_->data() + JobStatusLayout::text, JobStatusLayout::field, text);
}

void StatusBlock::set_table(std::string_view table) {
    table_ = table;
    if (own_) put_field(own_->data() + JobStatusLayout::table, JobStatusLayout::field, table);
}

}  // namespace kro::platform
