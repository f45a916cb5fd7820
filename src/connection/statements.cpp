#include "connection/statements.h"

#include <cstring>
#include <string>

#include "connection/connect.h"
#include "connection/server_version.h"
#include "connection/tunnel.h"
#include "platform/text_convert.h"

using namespace kro::platform;

namespace kro::connection {

namespace {

// The HTTP form encodes statements that hold control or non-ASCII bytes.
bool needs_encoding(const char* text, unsigned long length) {
    for (unsigned long i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c >= 128) return true;
    }
    return false;
}

}  // namespace

// MariaDB Connector/C reports a failed (re)connect as 2002 where libmysqlclient said 2003;
// that is what the library's own reconnect gives when a dead SSH tunnel refuses it.
bool connection_lost(unsigned int error_number) {
    return error_number == 2002 || error_number == 2003 || error_number == 2006 || error_number == 2013;
}

int execute(Tunnel& tunnel, MYSQL* handle, const char* text, unsigned long length, int batch) {
    std::string converted;
    if (!server_at_least_4_1_0(tunnel, handle)) {
        converted = utf8_to_ansi(std::string_view(text, length));
        text = converted.c_str();
        length = static_cast<unsigned long>(converted.size());
    }
    bool encode = tunnel.is_http() && needs_encoding(text, length);
    return tunnel.real_query(handle, text, length, encode, batch != 0, false, nullptr, 0);
}

ResultPtr query_with_reconnect(Tunnel& tunnel, MYSQL*& handle, const char* text, int retry,
                               int batch, int store_argument, ConnectionInfo* info,
                               const char* database) {
    const unsigned long length = static_cast<unsigned long>(std::strlen(text));
    int c = execute(tunnel, handle, text, length, batch);
    if (c != 0 && retry == 0) return make_result(tunnel, nullptr);
    if (c != 0 && !tunnel.is_http() && connection_lost(tunnel.error_number(handle)) &&
        reconnect(tunnel, handle, info, database))
        c = execute(tunnel, handle, text, length, batch);
    if (c != 0) return make_result(tunnel, nullptr);
    return make_result(tunnel, tunnel.store_result(handle, 1, store_argument, 0));
}

ResultPtr query_result(Tunnel& tunnel, MYSQL* handle, const char* text) {
    if (execute(tunnel, handle, text, static_cast<unsigned long>(std::strlen(text)), 0) != 0)
        return make_result(tunnel, nullptr);
    return make_result(tunnel, tunnel.use_result(handle));
}

bool statement_failed(Tunnel& tunnel, MYSQL* handle) { return tunnel.affected_rows(handle) == UINT64_MAX; }

bool session_alive(Tunnel& tunnel, MYSQL* handle) {
    // The library's reconnect is off, so a ping only asks and never opens a new session.
    return tunnel.is_http() || (handle && mysql_ping(handle) == 0);
}

}  // namespace kro::connection
