// Text put into an HTML page: markup characters become entities, NUL bytes are dropped.
#pragma once

#include <cstddef>

#include "common/str_buf.h"

void append_html_escaped(StrBuf& target, const char* text, std::size_t length);
StrBuf html_escaped(const char* text);
