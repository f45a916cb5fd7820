#include "import/odbc_handles.h"

#include "platform/text_convert.h"

using namespace kro::platform;

namespace kro::import {

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = other.handle_;
        type_ = other.type_;
        connected_ = other.connected_;
        other.handle_ = SQL_NULL_HANDLE;
        other.connected_ = false;
    }
    return *this;
}

bool OdbcHandle::allocate(SQLSMALLINT type, SQLHANDLE parent) {
    reset();
    SQLHANDLE h = SQL_NULL_HANDLE;
    if (!odbc_ok(SQLAllocHandle(type, parent, &h))) return false;
    handle_ = h;
    type_ = type;
    return true;
}

void OdbcHandle::reset() {
    if (handle_ == SQL_NULL_HANDLE) return;
    if (type_ == SQL_HANDLE_DBC && connected_) SQLDisconnect(handle_);
    SQLFreeHandle(type_, handle_);
    handle_ = SQL_NULL_HANDLE;
    connected_ = false;
}

WideText::WideText(std::string_view text) : text_(utf8_to_utf16(text)) {}

std::string utf8_of(const SQLWCHAR* text, long count) {
    if (!text) return "";
    if (count < 0) {
        count = 0;
        while (text[count]) ++count;
    }
    return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), static_cast<std::size_t>(count)));
}

std::size_t text_piece_units(const char16_t* piece, std::size_t units) {
    std::size_t end = units;
    while (end > 0 && piece[end] == kUnwrittenUnit) --end;
    return piece[end] == 0 ? end : units;
}

bool column_number(SQLHANDLE statement, SQLUSMALLINT column, SQLUSMALLINT field, SQLLEN& value) {
    WideAnswer<256> unused;
    SQLSMALLINT unused_length = 0;
    SQLLEN raw = 0;
    if (!odbc_ok(SQLColAttributeW(statement, column, field, unused.get(), unused.bytes(), &unused_length, &raw)))
        return false;
    value = indicator_of(raw);
    return true;
}

}  // namespace kro::import
