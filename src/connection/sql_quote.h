// Putting names and values into SQL text safely. Statements are written with the quotes in
// their format ("`%s`", "'%s'"); these give the text that goes between them.
#pragma once

#include <string>
#include <string_view>

#include <mysql.h>

#include "common/str_buf.h"

namespace kro::connection {

class Tunnel;

// A name for inside backquotes: every backquote doubled.
common::StrBuf escape_identifier(std::string_view name);
void append_escaped_identifier(common::StrBuf& out, std::string_view name);
// The name in backquotes, ready for SQL: "`a``b`".
std::string backquoted(std::string_view name);

// A value for inside single quotes, escaped by the connection (its character set and
// SQL mode decide how).
common::StrBuf escape_literal(Tunnel& tunnel, MYSQL* handle, std::string_view text);

// Escapes length bytes of source into destination (room for 2 * length + 1 bytes) and
// returns the number of bytes written, or (unsigned long)-1 when the bytes cannot be
// escaped for the connection's character set; context is the caller's.
using EscapeFn = unsigned long (*)(void* context, char* destination, const char* source,
                                   unsigned long length);
// An EscapeFn whose context is a ServerConnection (connection/connect.h).
unsigned long escape_with_connection(void* context, char* destination, const char* source,
                                     unsigned long length);

// Appends the value escaped over its whole length (zero bytes, quotes and backslashes
// included) by the connection, for inside single quotes. false when it cannot be escaped
// for the connection's character set; nothing is appended then.
bool append_escaped_value(common::StrBuf& out, Tunnel& tunnel, MYSQL* handle, const char* value,
                          unsigned long length);

// A value for inside single quotes after LIKE that matches only itself: the wildcards
// % and _ and the escape character are taken literally.
common::StrBuf escape_like_literal(Tunnel& tunnel, MYSQL* handle, std::string_view text);

}  // namespace kro::connection
