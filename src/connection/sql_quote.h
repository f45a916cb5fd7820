// Putting names and values into SQL text safely. Statements are written with the quotes in
// their format ("`%s`", "'%s'"); these give the text that goes between them.
#pragma once

#include <string_view>

#include <mysql.h>

#include "common/str_buf.h"

class Tunnel;

// A name for inside backquotes: every backquote doubled.
StrBuf escape_identifier(std::string_view name);
void append_escaped_identifier(StrBuf& out, std::string_view name);

// A value for inside single quotes, escaped by the connection (its character set and
// SQL mode decide how).
StrBuf escape_literal(Tunnel& tunnel, MYSQL* handle, std::string_view text);

// A value for inside single quotes after LIKE that matches only itself: the wildcards
// % and _ and the escape character are taken literally.
StrBuf escape_like_literal(Tunnel& tunnel, MYSQL* handle, std::string_view text);
