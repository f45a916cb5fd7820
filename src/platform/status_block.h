// The status block: a 1024-byte named shared memory block in which a running sync job
// publishes short status texts for a watching program. The watcher creates it; the job
// only opens it when it is there, and publishes nothing otherwise. The text sits at the
// start of the block and ends with a zero byte.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/shared_memory.h"

namespace kro::platform {

class StatusBlock {
public:
    static constexpr const char* name = "/MappingObj";
    static constexpr std::size_t size = 1024;

    // The job's side: maps the block when a watcher has created it.
    static StatusBlock open_existing();
    // The watcher's side: creates the block (or takes over one left behind) and removes
    // its name again when this object goes. On failure the block is closed and `error`
    // holds the reason.
    static StatusBlock create(std::string& error);

    StatusBlock() = default;
    StatusBlock(StatusBlock&& other) noexcept;
    StatusBlock& operator=(StatusBlock&& other) noexcept;
    ~StatusBlock();

    bool is_open() const { return memory_ != nullptr; }
    // Replaces the text, cut to 1023 bytes; an empty text clears it. Nothing when closed.
    void set_status(std::string_view text);
    // The text the block holds now; empty when closed.
    std::string text() const;

private:
    void close();

    std::unique_ptr<SharedMemory> memory_;
    bool owns_name_ = false;
};

}  // namespace kro::platform
