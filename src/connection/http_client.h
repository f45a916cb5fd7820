// HttpClient: posts one request body to the tunnel script's URL over HTTP or HTTPS and
// keeps the answer. One client is made per request and destroyed after it; connections
// (with their TLS sessions) outlive it in an HttpConnections pool when one is given.
//
// Every blocking step is bounded by the time-out (connect and TLS handshake by the
// connect time-out, the transfer by a stall limit), and the transfer is abandoned when
// the stop flag becomes non-zero or a signal stops the run (platform/stop_signals.h).
// HTTPS accepts self-signed, expired and wrong-host certificates: the tunnel trusts the
// URL its user configured.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <curl/curl.h>

namespace kro::connection {

class AnswerCompression;

// Connections to web servers kept open between requests, with their TLS sessions and host
// names. Owned by one tunnel and used from one thread at a time.
class HttpConnections {
public:
    HttpConnections();
    ~HttpConnections();
    HttpConnections(const HttpConnections&) = delete;
    HttpConnections& operator=(const HttpConnections&) = delete;
    CURLSH* share() const { return share_; }

private:
    CURLSH* share_;
};

class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Uses the proxy when a host is given, else connects directly.
    void set_proxy(const char* host, const char* user, const char* password, int port);
    // False when authentication is on and either text is missing.
    bool set_http_auth(bool on, const char* user, const char* password);
    void set_content_type(const char* text);  // only the first call has effect
    bool set_url(const char* url);            // only the first call has effect; false when unusable
    void set_timeout(int ms) { timeout_ms_ = ms > 0 ? ms : 15000; }
    void set_stop_flag(const std::atomic<bool>* stop) { stop_ = stop; }
    // The largest answer body kept (kMaxBodyBytes unless a request needs far less).
    void set_body_limit(std::size_t bytes) { body_limit_ = bytes; }
    // Takes a kept connection from the pool when there is one and leaves its own there.
    void set_connections(HttpConnections* pool) { connections_ = pool; }
    // Sends on a connection of its own: libcurl sends a request again, unasked, when a kept
    // connection turns out dead before any answer byte, which a request that may change
    // data must never risk.
    void set_fresh_connection(bool on) { fresh_connection_ = on; }
    // Asks for a compressed answer when the choice wants one, and tells it how fast the
    // answer came; without a choice every answer is asked for compressed.
    void set_compression(AnswerCompression* choice) { compression_ = choice; }

    // Posts the data ("Base64: yes" header when base64). With preflight and credentials to
    // apply, an empty request goes first so that they are applied before the body travels.
    // True when an answer with a status arrived, false when none did or the server or proxy
    // still refuses the credentials (401, 407); status is the last status seen (0: none).
    bool send(const char* data, std::size_t length, bool base64, long* status, bool preflight);
    // The raw header lines of the last answer; false when none were received.
    bool read_headers(std::string& out) const;
    // Moves the whole body of the last answer (status 200) into out; false when the body
    // did not arrive completely (broken, timed out, stopped, or larger than the limit).
    bool read_body(std::string& out);

    bool stopped() const { return stopped_; }
    // The last answer was cut off: larger than the limit, or not complete within kTotalTimeouts
    // time-outs.
    bool too_large() const { return body_too_large_; }
    bool too_slow() const { return too_slow_; }
    const std::string& last_error() const { return error_text_; }

    // The largest answer body kept in memory, and the largest one read to be dropped (an
    // authentication challenge, the answer to a preflight request).
    static constexpr std::size_t kMaxBodyBytes = std::size_t{1} << 30;
    static constexpr std::size_t kMaxDroppedBytes = std::size_t{1} << 20;
    // A whole exchange ends within this many time-outs, so that a server trickling bytes
    // cannot hold kro for ever. Ten: the tunnel script lets one statement run 300 s by
    // default, ten times kro's default time-out.
    static constexpr long kTotalTimeouts = 10;

private:
    struct CurlDeleter {
        void operator()(CURL* c) const { curl_easy_cleanup(c); }
    };
    struct SlistDeleter {
        void operator()(curl_slist* l) const { curl_slist_free_all(l); }
    };

    void configure();
    long total_time_ms() const { return static_cast<long>(timeout_ms_) * kTotalTimeouts; }
    // One exchange on the connection: a request with the data (none for the preflight) and
    // its answer. Returns the status received, 0 when none.
    long perform(const char* data, std::size_t length, curl_slist* headers, bool keep_body);
    bool apply_credentials(long status);

    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self);
    static int on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    std::unique_ptr<CURL, CurlDeleter> curl_;
    std::string url_;
    bool url_set_ = false;
    std::string content_type_;
    bool content_type_set_ = false;
    bool use_proxy_ = false;
    std::string proxy_;  // "host:port"
    std::string proxy_user_, proxy_password_;
    bool use_http_auth_ = false;
    std::string http_user_, http_password_;
    int timeout_ms_ = 15000;
    std::size_t body_limit_ = kMaxBodyBytes;
    const std::atomic<bool>* stop_ = nullptr;
    HttpConnections* connections_ = nullptr;
    bool fresh_connection_ = false;
    AnswerCompression* compression_ = nullptr;
    bool compressed_ = true;  // this client's requests ask for compressed answers
    bool configured_ = false;

    // The last exchange.
    bool keep_body_ = false;
    bool body_complete_ = false;
    bool body_too_large_ = false;
    bool too_slow_ = false;
    bool timed_out_ = false;
    std::size_t dropped_bytes_ = 0;
    std::chrono::steady_clock::time_point started_;
    // When the body's first and last pieces came. The script sends its first byte once it
    // has collected some rows, so the span holds the rest of its work, the compression and
    // the transfer, and not the round trip.
    std::chrono::steady_clock::time_point first_piece_at_, last_piece_;
    std::size_t first_piece_bytes_ = 0;
    bool stopped_ = false;
    std::string body_;
    std::string headers_;
    std::string error_text_;
};

}  // namespace kro::connection
