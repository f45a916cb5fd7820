#include "connection/sql_quote.h"

#include "connection/connect.h"
#include "connection/tunnel.h"

using namespace kro::common;

namespace kro::connection {

void append_escaped_identifier(StrBuf& out, std::string_view name) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '`') continue;
        out.append(name.substr(start, i + 1 - start));
        out.append("`", 1);
        start = i + 1;
    }
    out.append(name.substr(start));
}

StrBuf escape_identifier(std::string_view name) {
    StrBuf out(name.size() + 8);
    append_escaped_identifier(out, name);
    return out;
}

std::string backquoted(std::string_view name) { return "`" + escape_identifier(name).str() + "`"; }

StrBuf escape_literal(Tunnel& tunnel, MYSQL* handle, std::string_view text) {
    StrBuf out(0);
    out.ensure_capacity(text.size() * 2 + 1);
    unsigned long n = tunnel.real_escape_string(handle, out.data(), text.data(),
                                                static_cast<unsigned long>(text.size()));
    // The library answers (unsigned long)-1 when it cannot escape for the connection's
    // character set; an empty value is safer than a half-escaped one.
    out.set_length(n == static_cast<unsigned long>(-1) ? 0 : n);
    return out;
}

StrBuf escape_like_literal(Tunnel& tunnel, MYSQL* handle, std::string_view text) {
    StrBuf pattern(text.size() * 2 + 1);
    for (char c : text) {
        if (c == '\\' || c == '%' || c == '_') pattern.append("\\", 1);
        pattern.append(&c, 1);
    }
    return escape_literal(tunnel, handle, pattern.view());
}

unsigned long escape_with_connection(void* context, char* destination, const char* source,
                                     unsigned long length) {
    auto* server = static_cast<ServerConnection*>(context);
    return server->tunnel->real_escape_string(server->handle, destination, source, length);
}

bool append_escaped_value(StrBuf& out, Tunnel& tunnel, MYSQL* handle, const char* value,
                          unsigned long length) {
    const std::size_t at = out.length();
    out.make_room(2 * static_cast<std::size_t>(length) + 1);
    unsigned long n = tunnel.real_escape_string(handle, out.data() + at, value, length);
    if (n == static_cast<unsigned long>(-1)) {
        out.set_length(at);
        return false;
    }
    out.set_length(at + n);
    return true;
}

}  // namespace kro::connection
