// RAII owners of ODBC handles and the UTF-16 texts the wide ODBC calls take.
// unixODBC's SQLWCHAR is 16 bits, the same unit as char16_t.
#pragma once

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

}  // namespace kro::import
