#include <cstdint>

#include "connection/direct_tunnel.h"
#include "connection/tunnel.h"

namespace {

// Stands in for the HTTP form until it is built: connecting and every statement fail with
// error number 1 and a text that says why. Its handle is a zero-filled record.
class UnavailableHttpTunnel final : public Tunnel {
public:
    static constexpr const char* kMessage = "The HTTP tunnel is not available in this version of kro.";

    void set_server_version(MYSQL*, const char*) override {}
    void set_current_db(const char*) override {}
    void set_query_flag(unsigned char) override {}
    void clear_pending_query() override {}
    bool fetch_server_version(MYSQL*) override { return false; }
    int real_query(MYSQL*, const char*, unsigned long, bool, bool, bool, const volatile unsigned char*,
                   int) override {
        return 1;
    }
    void close(MYSQL* handle) override { delete handle; }
    void free_result(TunnelResult*) override {}
    void data_seek(TunnelResult*, std::uint64_t) override {}
    const char* get_server_info(MYSQL*) override { return ""; }
    const char* error(MYSQL*) override { return kMessage; }
    const char* info(MYSQL*) override { return nullptr; }
    MYSQL* init() override { return new MYSQL{}; }
    int options(MYSQL*, mysql_option, const void*) override { return 0; }
    MYSQL* real_connect(MYSQL*, const char*, const char*, const char*, const char*, unsigned int,
                        const char*, unsigned long, const char*) override {
        return nullptr;
    }
    unsigned int error_number(MYSQL*) override { return 1; }
    unsigned int num_fields(TunnelResult*) override { return 0; }
    unsigned int field_count(MYSQL*) override { return 0; }
    unsigned int field_seek(TunnelResult*, unsigned int) override { return 0; }
    unsigned int warning_count(MYSQL*) override { return 0; }
    unsigned long* fetch_lengths(TunnelResult*) override { return nullptr; }
    unsigned long escape_string(char* destination, const char* source, unsigned long length) override {
        return mysql_escape_string(destination, source, length);
    }
    unsigned long real_escape_string(MYSQL*, char* destination, const char* source,
                                     unsigned long length) override {
        return mysql_escape_string(destination, source, length);
    }
    std::uint64_t insert_id(MYSQL*) override { return 0; }
    std::uint64_t affected_rows(MYSQL*) override { return UINT64_MAX; }
    std::uint64_t num_rows(TunnelResult*) override { return 0; }
    TunnelResult* store_result(MYSQL*, int, int, int) override { return nullptr; }
    TunnelResult* use_result(MYSQL*) override { return nullptr; }
    MYSQL_ROW fetch_row(TunnelResult*) override { return nullptr; }
    MYSQL_FIELD* fetch_field(TunnelResult*) override { return nullptr; }
    MYSQL_FIELD* fetch_fields(TunnelResult*) override { return nullptr; }
    MYSQL_FIELD* fetch_field_direct(TunnelResult*, unsigned int) override { return nullptr; }
    int next_result(MYSQL*) override { return -1; }
    bool check_tunnel(MYSQL*) override { return false; }
    bool is_http() const override { return true; }
};

}  // namespace

std::unique_ptr<Tunnel> create_tunnel(int use_http) {
    if (use_http) return std::make_unique<UnavailableHttpTunnel>();
    return std::make_unique<DirectTunnel>();
}
