#include "common/str_buf.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <utility>

#include "common/out_of_memory.h"
#include "platform/text_convert.h"

using namespace kro::platform;

namespace kro::common {

StrBuf::StrBuf(std::size_t capacity) {
    if (capacity > 0) grow_to(capacity);
}

StrBuf::StrBuf(const char* bytes, int utf8_flag) : StrBuf() { assign(bytes, utf8_flag); }

StrBuf::StrBuf(const StrBuf& other) : StrBuf(other.length_ + 1) { copy_from(other); }

StrBuf& StrBuf::operator=(const StrBuf& other) {
    if (this != &other) copy_from(other);
    return *this;
}

StrBuf::StrBuf(StrBuf&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      length_(std::exchange(other.length_, 0)) {}

StrBuf& StrBuf::operator=(StrBuf&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

StrBuf::~StrBuf() { std::free(data_); }

void StrBuf::grow_to(std::size_t new_capacity) {
    data_ = static_cast<char*>(checked_realloc(data_, new_capacity));
    if (capacity_ == 0) data_[0] = '\0';
    capacity_ = new_capacity;
}

void StrBuf::ensure_capacity(std::size_t n) {
    if (capacity_ < n + 1) grow_to(n + 1);
}

void StrBuf::make_room(std::size_t extra) {
    std::size_t needed = length_ + extra + 1;
    if (capacity_ < needed) grow_to(std::max(needed, capacity_ * 2));
}

void StrBuf::set_length(std::size_t n) {
    ensure_capacity(n);
    length_ = n;
    data_[n] = '\0';
}

void StrBuf::assign(const char* bytes, int utf8_flag) {
    clear();
    if (!bytes) return;
    if (utf8_flag) {
        append(bytes);
    } else {
        append(ansi_to_utf8(bytes));
    }
}

void StrBuf::append(const char* bytes, long count) {
    if (!bytes) return;
    std::size_t n = count < 0 ? std::strlen(bytes) : static_cast<std::size_t>(count);
    if (capacity_ < length_ + n + 1) {
        // The source may live inside our own buffer.
        std::ptrdiff_t inside = (data_ && bytes >= data_ && bytes < data_ + capacity_) ? bytes - data_ : -1;
        grow_to(length_ + n + 1);
        if (inside >= 0) bytes = data_ + inside;
    }
    std::memmove(data_ + length_, bytes, n);
    length_ += n;
    data_[length_] = '\0';
}

void StrBuf::vformat_at(std::size_t offset, const char* fmt, va_list args) {
    if (capacity_ == 0) grow_to(256);
    while (capacity_ <= offset + 1) grow_to(capacity_ * 2);
    for (;;) {
        std::size_t room = capacity_ - offset - 1;
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(data_ + offset, room, fmt, copy);
        va_end(copy);
        if (n >= 0 && static_cast<std::size_t>(n) < room) {
            length_ = offset + static_cast<std::size_t>(n);
            data_[length_] = '\0';
            return;
        }
        if (n < 0) {  // a formatting error (this C library reports lack of room by the count)
            length_ = offset;
            data_[length_] = '\0';
            return;
        }
        grow_to(capacity_ * 2);
    }
}

void StrBuf::format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vformat_at(0, fmt, args);
    va_end(args);
}

void StrBuf::append_format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vformat_at(length_, fmt, args);
    va_end(args);
}

void StrBuf::copy_from(const StrBuf& other) {
    if (this == &other) return;
    clear();
    append(other.data_ ? other.data_ : "", static_cast<long>(other.length_));
}

void StrBuf::reserve(std::size_t n) {
    if (n == 0) return;
    if (capacity_ < n) {
        std::free(data_);
        data_ = nullptr;
        capacity_ = 0;
        grow_to(n);
    }
    clear();
}

void StrBuf::clear() {
    length_ = 0;
    if (data_) data_[0] = '\0';
}

void StrBuf::cut_end(std::size_t n) {
    length_ = n >= length_ ? 0 : length_ - n;
    if (data_) data_[length_] = '\0';
}

char StrBuf::char_at(long position) const {
    if (position < 0 || static_cast<std::size_t>(position) >= length_) return 0;
    return data_[position];
}

long StrBuf::find(const char* text, long from) const {
    if (!text || from < 0 || static_cast<std::size_t>(from) >= length_) return -1;
    std::size_t pos = view().find(text, static_cast<std::size_t>(from));
    return pos == std::string_view::npos ? -1 : static_cast<long>(pos);
}

int StrBuf::compare(const char* text) const { return std::strcmp(c_str(), text ? text : ""); }

int StrBuf::compare_nocase(const char* text) const {
    return strcasecmp(c_str(), text ? text : "");
}

int StrBuf::to_int() const { return std::atoi(c_str()); }

}  // namespace kro::common
