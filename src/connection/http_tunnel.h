// HttpTunnel: the Tunnel whose statements travel to the tunnel script over HTTP(S).
// real_query queues text (several statements form a batch); store_result posts the queued
// text as one XML request and turns the XML answer into handle values and result records
// like the client library's. Nothing is sent before the first statement; every request
// carries all connection values, so the script keeps no session between requests.
//
// Handles come from init() and must go back through close() of an HttpTunnel; results
// through free_result(). The answer of the last request stays here until the next one,
// so that next_result can move on to the result of the batch's next statement.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "connection/tunnel.h"

namespace tinyxml2 {
class XMLElement;
}

namespace kro::connection {

class HttpClient;
class HttpConnections;
class AnswerCompression;
class TunnelAnswer;

class HttpTunnel final : public Tunnel {
public:
    HttpTunnel();
    ~HttpTunnel() override;

    void set_current_db(const char* name) override;
    bool fetch_server_version(MYSQL* handle) override;
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
    bool check_tunnel(MYSQL* handle) override;
    bool is_http() const override { return true; }
    long next_page_rows(MYSQL* handle, long last_rows) override;

    // A batch is sent at the latest when its text grows beyond this many bytes.
    static constexpr std::size_t kBatchLimit = 65535;
    // The check request's answer is a version line, the version request's one short row;
    // anything much larger is no tunnel.
    static constexpr std::size_t kCheckAnswerLimit = 64 * 1024;
    static constexpr std::size_t kVersionAnswerLimit = 64 * 1024;
    // The answer a page aims at when the script takes larger pages: kro holds it whole and
    // parsed, so a few MiB; and at most this share of the script's max_answer_bytes, so
    // that a page of rows larger than the last one's still fits.
    static constexpr std::size_t kPageAnswerBytes = 6 * 1024 * 1024;
    static constexpr std::size_t kPageAnswerShare = 8;
    static constexpr long kMaxPageRows = 1000000;

private:
    void set_server_version(MYSQL* handle, const char* text);
    // Posts the check request; the check answer's text after the version, "" when none.
    bool post_check(MYSQL* handle, std::string& announcement);
    void take_announcement(std::string_view words);
    void configure(HttpClient& client, const char* url, const std::atomic<bool>* stop) const;
    // Posts the queued text; an answer beyond answer_limit bytes is cut off and fails.
    TunnelResult* send_pending(MYSQL* handle, std::size_t answer_limit);
    TunnelResult* read_current_result(MYSQL* handle);
    void drop_answer();

    bool batch_ = false;
    bool query_encode_ = false;
    bool send_now_ = false;
    const std::atomic<bool>* stop_ = nullptr;
    std::string escape_charset_name_;                       // the charset_ escaping was set up for
    const MARIADB_CHARSET_INFO* escape_charset_ = nullptr;  // null: escaped byte by byte
    std::unique_ptr<TunnelAnswer> answer_;
    const tinyxml2::XMLElement* current_ = nullptr;
    bool take_next_result_ = false;
    std::unique_ptr<HttpConnections> connections_;
    std::unique_ptr<AnswerCompression> compression_;
    std::size_t last_answer_bytes_ = 0;
    bool script_checked_ = false;
    std::size_t script_answer_limit_ = 0;  // max_answer_bytes the script announced; 0: none
};

}  // namespace kro::connection
