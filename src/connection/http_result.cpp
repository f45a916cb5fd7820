#include "connection/http_result.h"

#include <cstring>

namespace kro::connection {

char* ByteArena::allocate(std::size_t n) {
    if (n > left_) {
        // Large pieces get a block of their own so the current block's rest is not lost.
        if (n > kBlock / 4) {
            blocks_.emplace_back(new char[n]);
            return blocks_.back().get();
        }
        blocks_.emplace_back(new char[kBlock]);
        next_ = blocks_.back().get();
        left_ = kBlock;
    }
    char* p = next_;
    next_ += n;
    left_ -= n;
    return p;
}

char* ByteArena::copy(std::string_view text) {
    char* p = allocate(text.size() + 1);
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    return p;
}

MYSQL_ROW HttpResult::fetch_row() {
    if (next_row >= row_count || field_count == 0) {
        current_lengths = nullptr;
        return nullptr;
    }
    std::size_t at = static_cast<std::size_t>(next_row++) * field_count;
    current_lengths = &lengths[at];
    return &values[at];
}

}  // namespace kro::connection
