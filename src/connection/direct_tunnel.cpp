#include "connection/direct_tunnel.h"

#include "connection/charset_escape.h"

namespace kro::connection {

namespace {

MYSQL_RES* res(TunnelResult* result) { return reinterpret_cast<MYSQL_RES*>(result); }
TunnelResult* wrap(MYSQL_RES* result) { return reinterpret_cast<TunnelResult*>(result); }

}  // namespace

int DirectTunnel::real_query(MYSQL* handle, const char* text, unsigned long length, bool, bool,
                             bool, const std::atomic<bool>*, int) {
    return mysql_real_query(handle, text, length);
}

void DirectTunnel::close(MYSQL* handle) {
    if (handle) mysql_close(handle);
}

void DirectTunnel::free_result(TunnelResult* result) {
    if (result) mysql_free_result(res(result));
}

void DirectTunnel::data_seek(TunnelResult* result, std::uint64_t row) { mysql_data_seek(res(result), row); }

const char* DirectTunnel::get_server_info(MYSQL* handle) {
    const char* text = handle ? mysql_get_server_info(handle) : nullptr;
    return text ? text : "";
}

const char* DirectTunnel::error(MYSQL* handle) { return handle ? mysql_error(handle) : ""; }

MYSQL* DirectTunnel::init() { return mysql_init(nullptr); }

int DirectTunnel::options(MYSQL* handle, mysql_option option, const void* argument) {
    return mysql_options(handle, option, argument);
}

MYSQL* DirectTunnel::real_connect(MYSQL* handle, const char* host, const char* user,
                                  const char* password, const char* database, unsigned int port,
                                  const char* socket, unsigned long client_flags, const char*) {
    return mysql_real_connect(handle, host, user, password, database, port, socket, client_flags);
}

unsigned int DirectTunnel::error_number(MYSQL* handle) { return handle ? mysql_errno(handle) : 0; }

unsigned int DirectTunnel::num_fields(TunnelResult* result) { return mysql_num_fields(res(result)); }

unsigned int DirectTunnel::field_count(MYSQL* handle) { return mysql_field_count(handle); }

unsigned long* DirectTunnel::fetch_lengths(TunnelResult* result) { return mysql_fetch_lengths(res(result)); }

unsigned long DirectTunnel::real_escape_string(MYSQL* handle, char* destination, const char* source,
                                               unsigned long length) {
    // The library looks for a multibyte character at every byte. Where none can hold a byte
    // the server reads specially, the byte-wise escape writes the same text several times
    // faster (a dump escapes nearly every byte it writes).
    if (!(handle->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) && bytewise_charset(handle->charset))
        return escape_bytes(destination, source, length);
    return mysql_real_escape_string(handle, destination, source, length);
}

std::uint64_t DirectTunnel::affected_rows(MYSQL* handle) { return mysql_affected_rows(handle); }

std::uint64_t DirectTunnel::num_rows(TunnelResult* result) { return mysql_num_rows(res(result)); }

TunnelResult* DirectTunnel::store_result(MYSQL* handle, int, int, int) {
    return wrap(mysql_store_result(handle));
}

TunnelResult* DirectTunnel::use_result(MYSQL* handle) { return wrap(mysql_use_result(handle)); }

MYSQL_ROW DirectTunnel::fetch_row(TunnelResult* result) { return mysql_fetch_row(res(result)); }

MYSQL_FIELD* DirectTunnel::fetch_fields(TunnelResult* result) { return mysql_fetch_fields(res(result)); }

MYSQL_FIELD* DirectTunnel::fetch_field_direct(TunnelResult* result, unsigned int index) {
    return mysql_fetch_field_direct(res(result), index);
}

int DirectTunnel::next_result(MYSQL* handle) { return mysql_next_result(handle); }

bool DirectTunnel::set_multi_statements(MYSQL* handle) {
    return mysql_set_server_option(handle, MYSQL_OPTION_MULTI_STATEMENTS_ON) == 0;
}

}  // namespace kro::connection
