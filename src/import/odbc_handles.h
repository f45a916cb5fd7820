// RAII owners of ODBC handles and the UTF-16 texts the wide ODBC calls take.
// unixODBC's SQLWCHAR is 16 bits, the same unit as char16_t.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <sql.h>
#include <sqlext.h>

namespace kro::import {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the wide ODBC API must be UTF-16");

class OdbcHandle {
public:
    OdbcHandle() = default;
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;
    OdbcHandle(OdbcHandle&& other) noexcept { *this = std::move(other); }
    OdbcHandle& operator=(OdbcHandle&& other) noexcept;
    ~OdbcHandle() { reset(); }

    // Allocates a handle of the type under parent; false when the driver manager refused.
    bool allocate(SQLSMALLINT type, SQLHANDLE parent);
    void reset();
    SQLHANDLE get() const { return handle_; }
    SQLSMALLINT type() const { return type_; }
    explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }
    // A connection handle is disconnected before it is freed.
    void set_connected() { connected_ = true; }

private:
    SQLHANDLE handle_ = SQL_NULL_HANDLE;
    SQLSMALLINT type_ = 0;
    bool connected_ = false;
};

inline bool odbc_ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

// A UTF-16 copy of a UTF-8 text, and its pointer as the wide calls want it.
class WideText {
public:
    explicit WideText(std::string_view text);
    SQLWCHAR* get() { return reinterpret_cast<SQLWCHAR*>(text_.data()); }
    // Null for an empty text: "no pattern" in catalog calls.
    SQLWCHAR* or_null() { return text_.empty() ? nullptr : get(); }
    SQLSMALLINT length() const { return static_cast<SQLSMALLINT>(text_.size()); }
    SQLINTEGER long_length() const { return static_cast<SQLINTEGER>(text_.size()); }

private:
    std::u16string text_;
};

// UTF-8 from count UTF-16 units (count < 0: up to the terminating zero).
std::string utf8_of(const SQLWCHAR* text, long count = -1);

// Room for one wide text a driver writes: a catalog column, a diagnostic, an answer to
// SQLGetInfoW, SQLColAttributeW or SQLDescribeColW. Drivers are written by others: some
// write four-byte characters where two-byte ones were asked for, some ignore the length
// they are given, some end no text they cut, some count bytes as characters. So the
// buffer has twice the room it declares, starts zeroed, and its text is read up to its
// first zero but never past the declared size, whatever length the driver reports.
template <std::size_t Units>
class WideAnswer {
public:
    SQLWCHAR* get() { return buffer_.data(); }
    // The declared size, as the calls want it: in characters or in bytes.
    static constexpr SQLSMALLINT units() { return static_cast<SQLSMALLINT>(Units); }
    static constexpr SQLSMALLINT bytes() { return static_cast<SQLSMALLINT>(Units * sizeof(SQLWCHAR)); }
    std::string text() const { return utf8_of(buffer_.data(), declared_length()); }
    // Before each fetch into a bound buffer, so that no earlier row's text shows through.
    void clear() { buffer_.fill(0); }

private:
    static_assert(Units > 0 && Units * sizeof(SQLWCHAR) <= 32767, "the calls count in SQLSMALLINT");
    long declared_length() const {
        long n = 0;
        while (n < static_cast<long>(Units) && buffer_[static_cast<std::size_t>(n)] != 0) ++n;
        return n;
    }
    std::array<SQLWCHAR, Units * 2 + 2> buffer_{};
};

// A length or indicator as the driver meant it. Some drivers write only the low 32 bits of
// the 64-bit SQLLEN they are given (an SQLINTEGER): a NULL then arrives as 0xFFFFFFFF.
// Start every indicator at 0 and read it through this.
inline SQLLEN indicator_of(SQLLEN raw) {
    if (raw > 0x7FFFFFFF && raw <= 0xFFFFFFFF)
        return static_cast<SQLLEN>(static_cast<std::int32_t>(static_cast<std::uint32_t>(raw)));
    return raw;
}
inline bool is_null_indicator(SQLLEN raw) { return indicator_of(raw) == SQL_NULL_DATA; }

// One piece of a long text fetched with SQLGetData into units + 1 slots. Before the call
// every slot holds kUnwrittenUnit; after it, the piece's length in units. A driver that
// cuts the text writes its terminator at the end, or one slot or more before it rather than
// split a character: the terminator is the last zero written, after which only unwritten
// slots follow. (A slot the driver did not write may hold anything but a terminator.)
constexpr char16_t kUnwrittenUnit = 0xFFFF;
std::size_t text_piece_units(const char16_t* piece, std::size_t units);

// A numeric attribute of a result column (SQLColAttributeW); false when the driver refused.
// The text buffer the call does not need is given all the same: some drivers write there.
bool column_number(SQLHANDLE statement, SQLUSMALLINT column, SQLUSMALLINT field, SQLLEN& value);

}  // namespace kro::import
