// HttpResult: the HTTP tunnel's result set, laid out like the client library's: field
// descriptors (MYSQL_FIELD), rows as arrays of zero-terminated values (null for SQL NULL)
// and their lengths. The record owns every byte it points to; free_result releases it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <mysql.h>

namespace kro::connection {

// Bump allocation for many small pieces that all die together.
class ByteArena {
public:
    char* allocate(std::size_t n);
    char* copy(std::string_view text);  // zero-terminated copy

private:
    static constexpr std::size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

struct HttpResult {
    unsigned field_count = 0;
    std::vector<MYSQL_FIELD> fields;
    // Row r's values are values[r * field_count ...], their lengths likewise.
    std::vector<char*> values;
    std::vector<unsigned long> lengths;
    std::uint64_t row_count = 0;
    std::uint64_t next_row = 0;
    const unsigned long* current_lengths = nullptr;
    ByteArena bytes;

    MYSQL_ROW fetch_row();
    void seek(std::uint64_t row) { next_row = row < row_count ? row : row_count; }
    MYSQL_FIELD* field(unsigned index) { return index < fields.size() ? &fields[index] : nullptr; }
};

}  // namespace kro::connection
