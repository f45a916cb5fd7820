// Tunnel: the one interface through which jobs talk to a MySQL server. Its form is fixed
// at creation: DirectTunnel calls the MySQL client library, HttpTunnel posts statements to
// the tunnel script. Callers never see the difference.
//
// The handle (MYSQL*) is owned by the caller: it comes from init() and goes back through
// close(). A result (TunnelResult*) is owned by whoever obtained it and is released with
// free_result(). TunnelResult is opaque: only the Tunnel that made it may look inside.
// The settings below the operations are kept here for the HTTP form, which sends them with
// every request; the direct form ignores them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <mysql.h>

#include "common/str_buf.h"

namespace kro::connection {

struct TunnelResult;

class Tunnel {
public:
    virtual ~Tunnel() = default;

    virtual void set_current_db(const char* name) = 0;
    virtual bool fetch_server_version(MYSQL* handle) = 0;
    // 0 on success. encode: the text holds a byte below 32 or above 127; batch, send_now,
    // stop (cancels reading the answer once it is set, from any thread) and
    // preamble_selector are read by the HTTP form only.
    virtual int real_query(MYSQL* handle, const char* text, unsigned long length, bool encode = false,
                           bool batch = false, bool send_now = false,
                           const std::atomic<bool>* stop = nullptr, int preamble_selector = 0) = 0;
    virtual void close(MYSQL* handle) = 0;
    virtual void free_result(TunnelResult* result) = 0;  // null is ignored
    virtual void data_seek(TunnelResult* result, std::uint64_t row) = 0;
    virtual const char* get_server_info(MYSQL* handle) = 0;
    virtual const char* error(MYSQL* handle) = 0;
    virtual MYSQL* init() = 0;
    virtual int options(MYSQL* handle, mysql_option option, const void* argument) = 0;
    virtual MYSQL* real_connect(MYSQL* handle, const char* host, const char* user,
                                const char* password, const char* database, unsigned int port,
                                const char* socket, unsigned long client_flags,
                                const char* tunnel_url) = 0;
    virtual unsigned int error_number(MYSQL* handle) = 0;
    virtual unsigned int num_fields(TunnelResult* result) = 0;
    virtual unsigned int field_count(MYSQL* handle) = 0;
    virtual unsigned long* fetch_lengths(TunnelResult* result) = 0;
    virtual unsigned long real_escape_string(MYSQL* handle, char* destination, const char* source,
                                             unsigned long length) = 0;
    // All ones (UINT64_MAX) when the last statement failed.
    virtual std::uint64_t affected_rows(MYSQL* handle) = 0;
    virtual std::uint64_t num_rows(TunnelResult* result) = 0;
    // store_all, send_pending and reserved are read by the HTTP form only; send_pending
    // asks for a pending batch to be sent now.
    virtual TunnelResult* store_result(MYSQL* handle, int store_all = 0, int send_pending = 0,
                                       int reserved = 0) = 0;
    virtual TunnelResult* use_result(MYSQL* handle) = 0;
    virtual MYSQL_ROW fetch_row(TunnelResult* result) = 0;
    virtual MYSQL_FIELD* fetch_fields(TunnelResult* result) = 0;
    virtual MYSQL_FIELD* fetch_field_direct(TunnelResult* result, unsigned int index) = 0;
    virtual int next_result(MYSQL* handle) = 0;  // 0 when another result follows, > 0 on an error
    // Lets one text carry several statements joined by ";" on this session, read in turn
    // with next_result; false where the form cannot (the HTTP tunnel).
    virtual bool set_multi_statements(MYSQL* handle) {
        (void)handle;
        return false;
    }
    virtual bool check_tunnel(MYSQL* handle) = 0;

    virtual bool is_http() const = 0;

    // Rows for the next page of a table read in pages over this connection; last_rows is
    // the number of rows the previous page held (0 before the first). Over the HTTP tunnel
    // a page is one request whose answer the script and kro hold whole: kTunnelPageRows,
    // unless the script announces larger answers, then as many as a few MiB of answer
    // hold, judged by the last page.
    virtual long next_page_rows(MYSQL* handle, long last_rows) {
        (void)handle;
        (void)last_rows;
        return kTunnelPageRows;
    }
    static constexpr long kTunnelPageRows = 1000;

    // Settings the HTTP form sends with every request (texts kept to 127 characters).
    void set_timeout(int ms) { timeout_ms_ = ms; }
    void set_use_proxy(bool on) { use_proxy_ = on; }
    bool set_proxy(const char* host, int port, const char* user, const char* password);
    void set_encode_data(bool on) { encode_data_ = on; }
    void set_content_type(const char* text);
    void set_charset(const char* name) { charset_.assign(name ? name : "", 1); }
    bool set_http_auth(bool on, const char* user, const char* password);

protected:
    int timeout_ms_ = 15000;
    common::StrBuf charset_;
    // What real_connect stored (HTTP form), and the pending statement text.
    common::StrBuf host_, user_, password_, database_, tunnel_url_;
    int port_ = 0;
    common::StrBuf pending_query_;
    bool use_proxy_ = false;
    int proxy_port_ = 808;
    std::string proxy_host_, proxy_user_, proxy_password_;
    std::string content_type_ = "text/xml";
    bool encode_data_ = false;
    bool use_http_auth_ = false;
    std::string http_auth_user_, http_auth_password_;
};

// The direct form when use_http is 0, else the HTTP form.
std::unique_ptr<Tunnel> create_tunnel(int use_http);

}  // namespace kro::connection
