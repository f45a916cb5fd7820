#include "platform/status_block.h"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <utility>

#include "platform/system_error.h"

namespace kro::platform {

StatusBlock StatusBlock::open_existing() {
    StatusBlock block;
    int error = 0;
    block.memory_ = SharedMemory::open(name, size, error);
    return block;
}

StatusBlock StatusBlock::create(std::string& error) {
    StatusBlock block;
    int code = 0;
    block.memory_ = SharedMemory::create(name, size, code);
    if (!block.memory_) {
        error = system_error_text(code);
        return block;
    }
    block.owns_name_ = true;
    block.set_status("");
    return block;
}

StatusBlock::StatusBlock(StatusBlock&& other) noexcept
    : memory_(std::move(other.memory_)), owns_name_(std::exchange(other.owns_name_, false)) {}

StatusBlock& StatusBlock::operator=(StatusBlock&& other) noexcept {
    if (this != &other) {
        close();
        memory_ = std::move(other.memory_);
        owns_name_ = std::exchange(other.owns_name_, false);
    }
    return *this;
}

StatusBlock::~StatusBlock() { close(); }

void StatusBlock::close() {
    memory_.reset();
    if (owns_name_) shm_unlink(name);
    owns_name_ = false;
}

void StatusBlock::set_status(std::string_view text) {
    if (!memory_) return;
    std::size_t length = std::min(text.size(), size - 1);
    char* data = memory_->data();
    std::memcpy(data, text.data(), length);
    data[length] = '\0';
}

std::string StatusBlock::text() const {
    if (!memory_) return {};
    const char* data = memory_->data();
    return std::string(data, strnlen(data, size));
}

}  // namespace kro::platform
