// Tells statements that only read from those that may change something, by their text.
// The HTTP tunnel keeps its connection to the web server for reads only: libcurl sends a
// request again on its own when a kept connection dies before any answer byte, and a
// statement that changes data must never run twice.
#pragma once

#include <string_view>

namespace kro::connection {

// True when every statement of the text surely only reads: SELECT (without INTO) and SHOW,
// and SET of session values, calling no function but the server's own that change nothing.
// Anything in doubt counts as a change.
bool only_reads(std::string_view text);

}  // namespace kro::connection
