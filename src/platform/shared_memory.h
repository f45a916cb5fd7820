// Named shared memory: a block of bytes that other processes reach by the same name
// (a POSIX shared memory object, mapped read-write). The mapping lives as long as the
// object; the name stays in the system until it is removed.
#pragma once

#include <cstddef>
#include <memory>

namespace kro::platform {

class SharedMemory {
public:
    // Creates the block, or opens it when it already exists, sized to `size` bytes.
    // Null on failure, with the system error in `error`.
    static std::unique_ptr<SharedMemory> create(const char* name, std::size_t size, int& error);
    // Opens an existing block of at least `size` bytes; null when there is none.
    static std::unique_ptr<SharedMemory> open(const char* name, std::size_t size, int& error);

    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    ~SharedMemory();

    char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    SharedMemory(char* data, std::size_t size) : data_(data), size_(size) {}
    static std::unique_ptr<SharedMemory> map(const char* name, int flags, std::size_t size, int& error);

    char* data_;
    std::size_t size_;
};

}  // namespace kro::platform
