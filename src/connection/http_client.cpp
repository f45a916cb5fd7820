#include "connection/http_client.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "connection/http_compression.h"
#include "platform/stop_signals.h"

namespace kro::connection {

namespace {

constexpr const char* kAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 1.1.4322)";
constexpr const char* kAgentHeader =
    "HTTP_USER_AGENT: Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.7.5) Gecko/20041107 Firefox/1.0";
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
constexpr int kMaxAttempts = 3;

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlText {
    char* text = nullptr;
    ~CurlText() { curl_free(text); }
};

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

bool is_auth_status(long status) { return status == 401 || status == 407; }

}  // namespace

HttpConnections::HttpConnections() {
    global_init();
    share_ = curl_share_init();
    if (!share_) return;
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

HttpConnections::~HttpConnections() {
    if (share_) curl_share_cleanup(share_);
}

HttpClient::HttpClient() {
    global_init();
    curl_.reset(curl_easy_init());
}

HttpClient::~HttpClient() = default;

void HttpClient::set_proxy(const char* host, const char* user, const char* password, int port) {
    use_proxy_ = host && *host;
    if (!use_proxy_) return;
    proxy_ = std::string(host) + ":" + std::to_string(port);
    proxy_user_ = user ? user : "";
    proxy_password_ = password ? password : "";
}

bool HttpClient::set_http_auth(bool on, const char* user, const char* password) {
    use_http_auth_ = on;
    if (!on) return true;
    if (!user || !password) {
        use_http_auth_ = false;
        return false;
    }
    http_user_ = user;
    http_password_ = password;
    return true;
}

void HttpClient::set_content_type(const char* text) {
    if (content_type_set_) return;
    content_type_set_ = true;
    content_type_ = text ? text : "";
}

bool HttpClient::set_url(const char* url) {
    if (url_set_) return true;
    if (!url) return false;
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url, 0) != CURLUE_OK) return false;
    CurlText scheme, full;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme.text, 0) != CURLUE_OK) return false;
    if (strcasecmp(scheme.text, "http") != 0 && strcasecmp(scheme.text, "https") != 0) return false;
    if (curl_url_get(parsed.get(), CURLUPART_URL, &full.text, 0) != CURLUE_OK) return false;
    url_ = full.text;  // path and query string as given
    url_set_ = true;
    return true;
}

void HttpClient::configure() {
    if (configured_) return;
    configured_ = true;
    CURL* c = curl_.get();
    curl_easy_setopt(c, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, kAgent);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    // An empty proxy text keeps libcurl from taking one from the environment.
    curl_easy_setopt(c, CURLOPT_PROXY, use_proxy_ ? proxy_.c_str() : "");
    if (use_proxy_) {
        curl_easy_setopt(c, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(c, CURLOPT_NOPROXY, "");
    }
    // The tunnel keeps working with self-signed, expired and wrong-host certificates.
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(c, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
    // Connect (with the TLS handshake) and any stall of the transfer are bounded.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_ms_));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, (static_cast<long>(timeout_ms_) + 999) / 1000);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, total_time_ms());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &HttpClient::on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &HttpClient::on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &HttpClient::on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    // Answers are mostly Base64 in XML: the script compresses them when asked and able.
    compressed_ = !compression_ || compression_->wanted();
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, compressed_ ? "" : static_cast<const char*>(nullptr));
    if (connections_ && connections_->share()) curl_easy_setopt(c, CURLOPT_SHARE, connections_->share());
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, fresh_connection_ ? 1L : 0L);
}

long HttpClient::perform(const char* data, std::size_t length, curl_slist* headers, bool keep_body) {
    CURL* c = curl_.get();
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, data ? data : "");
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data ? length : 0));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    keep_body_ = keep_body;
    body_.clear();
    headers_.clear();
    body_complete_ = body_too_large_ = too_slow_ = timed_out_ = false;
    dropped_bytes_ = 0;
    started_ = std::chrono::steady_clock::now();

    CURLcode rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status == 0) {
        // A proxy that refused the tunnel for an https URL answered the CONNECT only.
        long connect_status = 0;
        curl_easy_getinfo(c, CURLINFO_HTTP_CONNECTCODE, &connect_status);
        if (connect_status == 407) status = connect_status;
    }
    body_complete_ = rc == CURLE_OK;
    if (compression_ && body_complete_ && keep_body_ && !body_.empty())
        compression_->record(compressed_, body_.size() - first_piece_bytes_, last_piece_ - first_piece_at_);
    timed_out_ = rc == CURLE_OPERATION_TIMEDOUT;
    // libcurl's clock and ours differ by a little: a time-out in the last time-out's span is
    // the whole exchange's.
    too_slow_ = timed_out_ && std::chrono::steady_clock::now() - started_ >=
                                  std::chrono::milliseconds(total_time_ms() - timeout_ms_);
    error_text_ = rc == CURLE_OK ? "" : curl_easy_strerror(rc);
    if (body_too_large_) error_text_ = "answer larger than the limit";
    if (too_slow_) error_text_ = "answer too slow";
    return status;
}

bool HttpClient::apply_credentials(long status) {
    CURL* c = curl_.get();
    if (status == 401) {
        if (!use_http_auth_) return false;
        return curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_ANY) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_USERNAME, http_user_.c_str()) == CURLE_OK &&
               curl_easy_setopt(c, CURLOPT_PASSWORD, http_password_.c_str()) == CURLE_OK;
    }
    if (!use_proxy_) return false;
    return curl_easy_setopt(c, CURLOPT_PROXYAUTH, CURLAUTH_ANY) == CURLE_OK &&
           curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, proxy_user_.c_str()) == CURLE_OK &&
           curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, proxy_password_.c_str()) == CURLE_OK;
}

bool HttpClient::send(const char* data, std::size_t length, bool base64, long* status, bool preflight) {
    long last = 0;
    if (status) *status = 0;
    if (!curl_ || !url_set_) return false;
    if (platform::stop_requested()) {
        stopped_ = true;
        return false;
    }
    configure();

    // The empty request only lets credentials be applied before the body travels; with
    // none to apply it would double every exchange, and a refusal is told the same way by
    // the request itself.
    if (preflight && (use_http_auth_ || use_proxy_)) {
        for (int attempt = 1;; ++attempt) {
            last = perform(nullptr, 0, nullptr, false);
            if (status) *status = last;
            if (last == 0 || stopped_ || too_slow_ || body_too_large_) return false;
            if (!is_auth_status(last)) break;
            if (attempt == kMaxAttempts || !apply_credentials(last)) return false;
        }
    }

    std::unique_ptr<curl_slist, SlistDeleter> headers;
    auto add_header = [&headers](const std::string& line) {
        curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
        if (!grown) return false;
        if (!headers) headers.reset(grown);  // later appends keep the same head
        return true;
    };
    if (!add_header("Content-Type: " + content_type_) || !add_header(kAgentHeader) ||
        (base64 && !add_header("Base64: yes")) || !add_header("Expect:")) {
        return false;
    }

    int failures = 0, auth_rounds = 0;
    for (;;) {
        last = perform(data, length, headers.get(), true);
        if (status) *status = last;
        if (last == 0) {
            // Repeated only when nothing reached the server: the script may already have
            // run the statements of a request that was sent.
            long request_bytes = 0;
            curl_easy_getinfo(curl_.get(), CURLINFO_REQUEST_SIZE, &request_bytes);
            if (stopped_ || timed_out_ || too_slow_ || body_too_large_ || request_bytes > 0 ||
                ++failures >= kMaxAttempts)
                return false;
            continue;
        }
        if (is_auth_status(last)) {
            if (auth_rounds == kMaxAttempts || !apply_credentials(last)) return false;
            ++auth_rounds;
            continue;
        }
        return true;
    }
}

bool HttpClient::read_headers(std::string& out) const {
    if (headers_.empty()) return false;
    out = headers_;
    return true;
}

bool HttpClient::read_body(std::string& out) {
    if (!body_complete_ || stopped_) return false;
    out = std::move(body_);
    body_.clear();
    return true;
}

std::size_t HttpClient::on_body(char* data, std::size_t size, std::size_t count, void* self) {
    auto* client = static_cast<HttpClient*>(self);
    std::size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(client->curl_.get(), CURLINFO_RESPONSE_CODE, &status);
    if (!client->keep_body_ || status != 200) {
        // Read and dropped, but not without end.
        client->dropped_bytes_ += n;
        if (client->dropped_bytes_ <= kMaxDroppedBytes) return n;
        client->body_too_large_ = true;
        return 0;
    }
    if (n > client->body_limit_ - std::min(client->body_limit_, client->body_.size())) {
        client->body_too_large_ = true;
        return 0;  // ends the transfer
    }
    const auto now = std::chrono::steady_clock::now();
    if (client->body_.empty()) {
        client->first_piece_at_ = now;
        client->first_piece_bytes_ = n;
    }
    client->last_piece_ = now;
    client->body_.append(data, n);
    return n;
}

std::size_t HttpClient::on_header(char* data, std::size_t size, std::size_t count, void* self) {
    auto* client = static_cast<HttpClient*>(self);
    std::size_t n = size * count;
    // Each answer (an authentication challenge, "100 Continue") starts a new header block.
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) client->headers_.clear();
    if (client->headers_.size() + n > kMaxHeaderBytes) return 0;
    client->headers_.append(data, n);
    return n;
}

int HttpClient::on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* client = static_cast<HttpClient*>(self);
    if ((client->stop_ && *client->stop_) || platform::stop_requested()) {
        client->stopped_ = true;
        return 1;
    }
    return 0;
}

}  // namespace kro::connection
