// StrBuf: the program's growable string of UTF-8 bytes.
// The text is always followed by a zero byte. Appending grows the buffer to exactly the
// size needed; formatted writing doubles it. Running out of memory ends the process
// (see out_of_memory()).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace kro::common {

class StrBuf {
public:
    StrBuf() : StrBuf(256) {}
    explicit StrBuf(std::size_t capacity);
    // flag 1: bytes are UTF-8 (taken up to their first zero); flag 0: locale charset text.
    StrBuf(const char* bytes, int utf8_flag);
    StrBuf(const StrBuf& other);
    StrBuf& operator=(const StrBuf& other);
    StrBuf(StrBuf&& other) noexcept;
    StrBuf& operator=(StrBuf&& other) noexcept;
    ~StrBuf();

    void assign(const char* bytes, int utf8_flag);
    // count < 0: take the bytes up to their terminating zero.
    void append(const char* bytes, long count = -1);
    void append(std::string_view text) { append(text.data(), static_cast<long>(text.size())); }
    void format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void append_format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void vformat_at(std::size_t offset, const char* fmt, va_list args);
    void copy_from(const StrBuf& other);
    void reserve(std::size_t n);
    void clear();
    void cut_end(std::size_t n);

    std::size_t length() const { return length_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return length_ == 0; }
    const char* c_str() const { return data_ ? data_ : ""; }
    char* data() { return data_; }
    std::string_view view() const { return {data_, length_}; }
    std::string str() const { return std::string(data_, length_); }

    char char_at(long position) const;
    long find(const char* text, long from = 0) const;

    int compare(const char* text) const;
    int compare(const StrBuf& other) const { return compare(other.c_str()); }
    int compare_nocase(const char* text) const;
    int compare_nocase(const StrBuf& other) const { return compare_nocase(other.c_str()); }
    int to_int() const;

    // Sets the length after the caller wrote directly into data(); terminates the text.
    void set_length(std::size_t n);
    // Makes room for at least n bytes of text plus the terminator, keeping the content.
    void ensure_capacity(std::size_t n);
    // Makes room for extra more bytes, growing geometrically, so that a long text built
    // from many small pieces costs linear time (append alone grows to the exact size).
    void make_room(std::size_t extra);

private:
    void grow_to(std::size_t new_capacity);

    char* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
};

}  // namespace kro::common
