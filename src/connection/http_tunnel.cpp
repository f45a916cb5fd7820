#include "connection/http_tunnel.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <type_traits>

#include "connection/charset_escape.h"
#include "connection/http_client.h"
#include "connection/http_compression.h"
#include "connection/http_result.h"
#include "connection/read_statement.h"
#include "connection/tunnel_answer.h"
#include "connection/tunnel_request.h"
#include "connection/tunnel_texts.h"

namespace kro::connection {

namespace {

constexpr std::uint64_t kFailed = ~std::uint64_t{0};
constexpr char kUnknownVersion[] = "3.23.58";
constexpr unsigned kErrEmptyQuery = 1065;  // the server's number for an empty statement

// The handle callers get is the MYSQL record at the front; the texts it points to live
// behind it, so a handle stays usable on its own until close().
struct HttpHandle {
    MYSQL mysql;
    char server_version[256];
    char info[512];
};
static_assert(std::is_standard_layout_v<HttpHandle> && offsetof(HttpHandle, mysql) == 0);

HttpHandle* handle_of(MYSQL* handle) { return reinterpret_cast<HttpHandle*>(handle); }
HttpResult* result_of(TunnelResult* result) { return reinterpret_cast<HttpResult*>(result); }
TunnelResult* as_tunnel_result(HttpResult* result) { return reinterpret_cast<TunnelResult*>(result); }

void copy_text(char* to, std::size_t size, std::string_view text) {
    std::size_t n = text.size() < size ? text.size() : size - 1;
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

void set_error(MYSQL* handle, unsigned number, std::string_view text) {
    handle->net.last_errno = number;
    copy_text(handle->net.last_error, sizeof handle->net.last_error, text);
}

void set_info(MYSQL* handle, const std::string* text) {
    HttpHandle* h = handle_of(handle);
    if (!text) {
        handle->info = nullptr;
        return;
    }
    copy_text(h->info, sizeof h->info, *text);
    handle->info = h->info;
}

// The error of a request that could not be sent or whose answer did not arrive whole.
void set_transport_error(MYSQL* handle, long status, const HttpClient& client) {
    if (client.stopped()) {
        set_error(handle, tunnel_text::kErrStopped, tunnel_text::kStopped);
    } else if (client.too_large()) {
        set_error(handle, tunnel_text::kErrCannotConnect, tunnel_text::kAnswerTooLarge);
    } else if (client.too_slow()) {
        set_error(handle, tunnel_text::kErrCannotConnect, tunnel_text::kAnswerTooSlow);
    } else if (status == 401 || status == 407) {
        set_error(handle, static_cast<unsigned>(status), tunnel_text::kAuthorization);
    } else {
        set_error(handle, tunnel_text::kErrCannotConnect, tunnel_text::kCannotConnect);
    }
}

// The error of an answer whose status is not 200; statuses without a text keep the old one.
void set_status_error(MYSQL* handle, long status) {
    handle->net.last_errno = 0;
    if (const char* text = http_status_text(status)) set_error(handle, 0, text);
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

constexpr const char* kPreambleVersioned[] = {
    "/*!40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0 */",
    "/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */",
    "/*!40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */",
    "/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS */",
};
constexpr const char* kPreamblePlain[] = {
    "SET @OLD_SQL_NOTES=0",
    "SET @OLD_SQL_MODE=''",
    "SET @OLD_FOREIGN_KEY_CHECKS=0",
    "SET @OLD_UNIQUE_CHECKS=0",
};

}  // namespace

HttpTunnel::HttpTunnel()
    : connections_(std::make_unique<HttpConnections>()), compression_(std::make_unique<AnswerCompression>()) {
    // The client library's escaper needs the library set up, which mysql_init() would do
    // for a direct connection; this form never calls it.
    static const int library_ready = mysql_library_init(0, nullptr, nullptr);
    (void)library_ready;
}
HttpTunnel::~HttpTunnel() = default;

void HttpTunnel::set_server_version(MYSQL* handle, const char* text) {
    if (!handle) return;
    HttpHandle* h = handle_of(handle);
    copy_text(h->server_version, sizeof h->server_version, text ? text : "");
    handle->server_version = h->server_version;
}

void HttpTunnel::set_current_db(const char* name) { database_.assign(name, 1); }

void HttpTunnel::drop_answer() {
    answer_.reset();
    current_ = nullptr;
    take_next_result_ = false;
}

bool HttpTunnel::fetch_server_version(MYSQL* handle) {
    static constexpr char kQuery[] = "select version()";
    if (!handle) return false;
    real_query(handle, kQuery, sizeof kQuery - 1, false, false, false, nullptr, 0);
    TunnelResult* result = send_pending(handle, kVersionAnswerLimit);
    if (!result) return false;
    MYSQL_ROW row = fetch_row(result);
    bool found = row && row[0];
    if (found) set_server_version(handle, row[0]);
    free_result(result);
    return found;
}

int HttpTunnel::real_query(MYSQL* handle, const char* text, unsigned long length, bool encode, bool batch,
                           bool send_now, const std::atomic<bool>* stop, int preamble_selector) {
    if (!batch && length == 0) {
        // Refused as the server refuses it; queued, it would leave the last statement's
        // outcome in the handle and pass for a success.
        pending_query_.clear();
        drop_answer();
        if (handle) {
            set_error(handle, kErrEmptyQuery, "Query was empty");
            handle->affected_rows = kFailed;
            handle->field_count = 0;
        }
        return 1;
    }
    bool joins_batch = batch && batch_ && !pending_query_.empty();
    // A single statement left over from a failed request is never glued to a batch.
    if (batch && !joins_batch) pending_query_.clear();
    if (!batch) {
        pending_query_.clear();
        pending_query_.append(text, static_cast<long>(length));
    } else {
        constexpr std::string_view delimiter = ";";
        std::size_t needed = pending_query_.length() + length + delimiter.size();
        if (pending_query_.empty()) {
            for (const char* s : preamble_selector ? kPreambleVersioned : kPreamblePlain) {
                pending_query_.append(s);
                pending_query_.append(delimiter);
            }
            needed += pending_query_.length();
        }
        // Grow geometrically: a batch is built from many small statements.
        if (needed >= pending_query_.capacity()) pending_query_.ensure_capacity(needed * 2);
        pending_query_.append(text, static_cast<long>(length));
        pending_query_.append(delimiter);
    }
    // One statement that needs Base64 makes the whole batch travel in Base64.
    query_encode_ = encode || (joins_batch && query_encode_);
    batch_ = batch;
    send_now_ = send_now;
    stop_ = stop;
    drop_answer();
    return 0;
}

void HttpTunnel::configure(HttpClient& client, const char* url, const std::atomic<bool>* stop) const {
    if (use_proxy_) {
        client.set_proxy(proxy_host_.c_str(), proxy_user_.c_str(), proxy_password_.c_str(), proxy_port_);
    }
    if (use_http_auth_) client.set_http_auth(true, http_auth_user_.c_str(), http_auth_password_.c_str());
    client.set_url(url);
    client.set_content_type(content_type_.c_str());
    client.set_timeout(timeout_ms_);
    client.set_stop_flag(stop);
    client.set_connections(connections_.get());
    client.set_compression(compression_.get());
}

TunnelResult* HttpTunnel::store_result(MYSQL* handle, int, int send_pending_now, int) {
    if (!handle) return nullptr;
    if (take_next_result_) {
        take_next_result_ = false;
        return read_current_result(handle);
    }
    if (pending_query_.empty()) return nullptr;
    bool send = !batch_ || send_now_ || pending_query_.length() > kBatchLimit || send_pending_now;
    if (!send) {
        handle->affected_rows = 0;
        handle->field_count = 0;
        auto* empty = new HttpResult;
        return as_tunnel_result(empty);
    }
    return send_pending(handle, HttpClient::kMaxBodyBytes);
}

TunnelResult* HttpTunnel::send_pending(MYSQL* handle, std::size_t answer_limit) {
    handle->affected_rows = kFailed;
    drop_answer();

    TunnelRequest request;
    request.host = host_.view();
    request.user = user_.view();
    request.password = password_.view();
    request.database = database_.view();
    request.charset = charset_.view();
    request.port = port_;
    request.query = pending_query_.view();
    request.batch = batch_;
    request.encode_data = encode_data_;
    request.encode_query = query_encode_;
    std::string body = build_tunnel_request(request);

    HttpClient client;
    configure(client, tunnel_url_.c_str(), stop_);
    client.set_body_limit(answer_limit);
    // Only a request that surely changes nothing may ride on a kept connection.
    client.set_fresh_connection(batch_ || !only_reads(pending_query_.view()));
    long status = 0;
    bool sent = client.send(body.data(), body.size(), query_encode_, &status, true);
    body.clear();
    body.shrink_to_fit();
    // A batch is dropped once it went out (or failed to): its statements may have run.
    if (batch_) pending_query_.clear();
    if (!sent) {
        set_transport_error(handle, status, client);
        return nullptr;
    }
    std::string headers;
    if (!client.read_headers(headers)) return nullptr;
    if (status != 200) {
        set_status_error(handle, status);
        return nullptr;
    }
    std::string answer_text;
    if (!client.read_body(answer_text)) {
        if (stop_ && *stop_)
            set_error(handle, tunnel_text::kErrStopped, tunnel_text::kStopped);
        else
            set_transport_error(handle, status, client);
        return nullptr;
    }
    pending_query_.clear();
    last_answer_bytes_ = answer_text.size();
    auto answer = std::make_unique<TunnelAnswer>();
    if (!answer->parse(std::move(answer_text))) {
        set_error(handle, tunnel_text::kErrCannotConnect, tunnel_text::kUnusableAnswer);
        return nullptr;
    }
    answer_ = std::move(answer);
    current_ = answer_->first_result();
    return read_current_result(handle);
}

TunnelResult* HttpTunnel::read_current_result(MYSQL* handle) {
    handle->affected_rows = kFailed;
    if (!answer_) return nullptr;
    TunnelOutcome o = answer_->read_result(current_);
    set_error(handle, o.error_number, o.error_text);
    if (o.failed) return nullptr;
    set_server_version(handle, o.server_version.c_str());
    set_info(handle, o.has_info ? &o.info : nullptr);
    handle->affected_rows = o.affected_rows;
    handle->insert_id = o.insert_id;
    handle->field_count = o.field_count;
    return as_tunnel_result(o.result.release());
}

int HttpTunnel::next_result(MYSQL*) {
    if (!answer_ || !current_) return -1;
    const tinyxml2::XMLElement* next = current_->NextSiblingElement();
    if (!next) return -1;
    current_ = next;
    take_next_result_ = true;
    return 0;
}

bool HttpTunnel::check_tunnel(MYSQL* handle) {
    if (!handle) return false;
    std::string announcement;
    if (!post_check(handle, announcement)) return false;
    take_announcement(announcement);
    return true;
}

// A script that takes larger pages says so after its version: "max_answer_bytes=N", the
// largest answer it gives.
void HttpTunnel::take_announcement(std::string_view words) {
    script_checked_ = true;
    static constexpr std::string_view kLimit = "max_answer_bytes=";
    std::size_t at = words.find(kLimit);
    if (at == std::string_view::npos || (at > 0 && words[at - 1] != ' ')) return;
    std::string number(words.substr(at + kLimit.size(), 20));
    script_answer_limit_ = std::strtoull(number.c_str(), nullptr, 10);
}

long HttpTunnel::next_page_rows(MYSQL*, long last_rows) {
    if (!script_checked_) {
        // Asked on a handle of its own: a script that fails the check keeps small pages
        // and leaves the caller's handle as it was.
        MYSQL* scratch = init();
        std::string announcement;
        if (post_check(scratch, announcement)) take_announcement(announcement);
        close(scratch);
        script_checked_ = true;
    }
    if (script_answer_limit_ == 0 || last_rows <= 0 || last_answer_bytes_ == 0) return kTunnelPageRows;
    std::size_t budget = std::min(kPageAnswerBytes, script_answer_limit_ / kPageAnswerShare);
    if (compression_->trying()) budget = std::min(budget, AnswerCompression::kTrialAnswerBytes);
    const std::size_t per_row = std::max<std::size_t>(1, last_answer_bytes_ / static_cast<std::size_t>(last_rows));
    // Grown step by step, so that one small answer between pages cannot ask for a huge one.
    const long rows = static_cast<long>(std::min<std::size_t>(budget / per_row, kMaxPageRows));
    return std::clamp(rows, kTunnelPageRows, std::max(kTunnelPageRows, last_rows * 16));
}

bool HttpTunnel::post_check(MYSQL* handle, std::string& announcement) {
    std::string url = tunnel_url_.str();
    // A URL that has a query string of its own gets the check's values appended to it.
    url += url.find('?') == std::string::npos ? '?' : '&';
    url += "app=velmar&version=";
    url += tunnel_text::kVersion;

    static constexpr char kBody[] = "<xml>garbagedata</xml>";
    HttpClient client;
    configure(client, url.c_str(), nullptr);
    client.set_body_limit(kCheckAnswerLimit);
    long status = 0;
    if (!client.send(kBody, sizeof kBody - 1, false, &status, true)) {
        set_transport_error(handle, status, client);
        return false;
    }
    std::string headers;
    if (!client.read_headers(headers)) return false;
    if (status != 200) {
        set_status_error(handle, status);
        return false;
    }
    std::string body;
    if (!client.read_body(body) || body.empty()) {
        if (client.too_large() || client.too_slow())
            set_transport_error(handle, status, client);
        else
            set_error(handle, tunnel_text::kErrNoCheckAnswer, tunnel_text::kNoCheckAnswer);
        return false;
    }
    std::string_view answer = body;
    answer.remove_prefix(std::min(answer.size(), answer.find_first_not_of(" \t\r\n")));
    static constexpr std::string_view kPrefix = "TunnelVersion:";
    if (!starts_with_nocase(answer, kPrefix)) {
        std::string text = std::string(tunnel_text::kVersionMismatch) + "\nReceived: " + body;
        set_error(handle, tunnel_text::kErrVersion, text);
        return false;
    }
    answer.remove_prefix(kPrefix.size());
    if (answer.starts_with("PHP_VERSION_ERROR")) {
        set_error(handle, tunnel_text::kErrPhpTooOld, tunnel_text::kPhpTooOld);
        return false;
    }
    if (answer.starts_with("PHP_MODULE_NOT_INSTALLED")) {
        set_error(handle, tunnel_text::kErrPhpLacksMysql, tunnel_text::kPhpLacksMysql);
        return false;
    }
    if (!answer.starts_with(tunnel_text::kVersion)) {
        set_error(handle, tunnel_text::kErrVersion, tunnel_text::kVersionMismatch);
        return false;
    }
    answer.remove_prefix(std::string_view(tunnel_text::kVersion).size());
    announcement = answer;
    return true;
}

void HttpTunnel::close(MYSQL* handle) { delete handle_of(handle); }

void HttpTunnel::free_result(TunnelResult* result) { delete result_of(result); }

void HttpTunnel::data_seek(TunnelResult* result, std::uint64_t row) {
    if (result) result_of(result)->seek(row);
}

const char* HttpTunnel::get_server_info(MYSQL* handle) {
    return handle && handle->server_version ? handle->server_version : kUnknownVersion;
}

const char* HttpTunnel::error(MYSQL* handle) { return handle ? handle->net.last_error : ""; }

MYSQL* HttpTunnel::init() { return &(new HttpHandle{})->mysql; }

// The handle is the tunnel's own record, not the library's: options have nothing to act on.
int HttpTunnel::options(MYSQL*, mysql_option, const void*) { return 0; }

MYSQL* HttpTunnel::real_connect(MYSQL* handle, const char* host, const char* user, const char* password,
                                const char* database, unsigned int port, const char*, unsigned long,
                                const char* tunnel_url) {
    host_.assign(host, 1);
    user_.assign(user, 1);
    password_.assign(password, 1);
    database_.assign(database, 1);
    tunnel_url_.assign(tunnel_url, 1);
    port_ = static_cast<int>(port);
    return handle;
}

unsigned int HttpTunnel::error_number(MYSQL* handle) { return handle ? handle->net.last_errno : 0; }

unsigned int HttpTunnel::num_fields(TunnelResult* result) { return result ? result_of(result)->field_count : 0; }

unsigned int HttpTunnel::field_count(MYSQL* handle) { return handle ? handle->field_count : 0; }

unsigned long* HttpTunnel::fetch_lengths(TunnelResult* result) {
    return result ? const_cast<unsigned long*>(result_of(result)->current_lengths) : nullptr;
}

// The script's session speaks the charset this tunnel sends with every request. The set's
// description is looked up when the name changes, not for every value.
unsigned long HttpTunnel::real_escape_string(MYSQL*, char* destination, const char* source, unsigned long length) {
    if (escape_charset_name_ != charset_.view()) {
        escape_charset_name_ = charset_.str();
        escape_charset_ = multibyte_charset(escape_charset_name_.c_str());
    }
    return escape_for_charset(escape_charset_, destination, source, length);
}

std::uint64_t HttpTunnel::affected_rows(MYSQL* handle) { return handle ? handle->affected_rows : kFailed; }

std::uint64_t HttpTunnel::num_rows(TunnelResult* result) { return result ? result_of(result)->row_count : 0; }

TunnelResult* HttpTunnel::use_result(MYSQL* handle) { return store_result(handle, 0, 0, 0); }

MYSQL_ROW HttpTunnel::fetch_row(TunnelResult* result) { return result ? result_of(result)->fetch_row() : nullptr; }

MYSQL_FIELD* HttpTunnel::fetch_fields(TunnelResult* result) {
    return result && !result_of(result)->fields.empty() ? result_of(result)->fields.data() : nullptr;
}

MYSQL_FIELD* HttpTunnel::fetch_field_direct(TunnelResult* result, unsigned int index) {
    return result ? result_of(result)->field(index) : nullptr;
}

}  // namespace kro::connection
