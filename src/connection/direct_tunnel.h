// DirectTunnel: the form of Tunnel that talks to the server through MariaDB Connector/C.
// Every operation is the client library call of the same name; the settings kept by
// Tunnel are not used here. A TunnelResult of this form is the library's MYSQL_RES.
#pragma once

#include "connection/tunnel.h"

namespace kro::connection {

class DirectTunnel : public Tunnel {
public:
    void set_current_db(const char*) override {}
    bool fetch_server_version(MYSQL*) override { return true; }
    int real_query(MYSQL* handle, const char* text, unsigned long length, bool encode, bool batch,
                   bool send_now, const std::atomic<bool>* stop, int preamble_selector) override;
    void close(MYSQL* handle) override;
    void free_result(TunnelResult* result) override;
    void data_seek(TunnelResult* result, std::uint64_t row) override;
    const char* get_server_info(MYSQL* handle) override;
    const char* error(MYSQL* handle) override;
    MYSQL* init() override;
    int options(MYSQL* handle, mysql_option option, const void* argument) override;
    MYSQL* real_connect(MYSQL* handle, const char* host, const char* user, const char* password,
                        const char* database, unsigned int port, const char* socket,
                        unsigned long client_flags, const char* tunnel_url) override;
    unsigned int error_number(MYSQL* handle) override;
    unsigned int num_fields(TunnelResult* result) override;
    unsigned int field_count(MYSQL* handle) override;
    unsigned long* fetch_lengths(TunnelResult* result) override;
    unsigned long real_escape_string(MYSQL* handle, char* destination, const char* source,
                                     unsigned long length) override;
    std::uint64_t affected_rows(MYSQL* handle) override;
    std::uint64_t num_rows(TunnelResult* result) override;
    TunnelResult* store_result(MYSQL* handle, int store_all, int send_pending, int reserved) override;
    TunnelResult* use_result(MYSQL* handle) override;
    MYSQL_ROW fetch_row(TunnelResult* result) override;
    MYSQL_FIELD* fetch_fields(TunnelResult* result) override;
    MYSQL_FIELD* fetch_field_direct(TunnelResult* result, unsigned int index) override;
    int next_result(MYSQL* handle) override;
    bool set_multi_statements(MYSQL* handle) override;
    bool check_tunnel(MYSQL*) override { return true; }
    bool is_http() const override { return false; }
};

}  // namespace kro::connection
