// DumpConnection: the dump's connection to its server, the statements sent on it and the
// error of the step at hand. Once the run is cancelled no statement is sent any more.
// Rows are read unbuffered (select_rows), so a table never sits in memory.
#pragma once

#include <atomic>
#include <string>

#include <mysql.h>

#include "common/str_buf.h"
#include "connection/connect.h"
#include "connection/result_ptr.h"

namespace kro::export_ {

// Timestamps are read and written in UTC, so that the dump replays the same instants in a
// session of any time zone.
inline constexpr const char* kUtcSession = "/*!40103 SET TIME_ZONE='+00:00' */";

// A name as it goes between back-quotes.
std::string quoted(const std::string& name);
// A name as it goes inside a /* */ comment: back-quoted and harmless there.
std::string comment_name(const std::string& name);

class DumpConnection {
public:
    DumpConnection() = default;
    DumpConnection(const DumpConnection&) = delete;
    DumpConnection& operator=(const DumpConnection&) = delete;
    ~DumpConnection() { close(); }

    connection::ServerConnection& server() { return server_; }
    connection::Tunnel& tunnel() const { return *server_.tunnel; }
    MYSQL* handle() const { return server_.handle; }

    void set_cancel(const std::atomic<bool>* cancel) { cancel_ = cancel; }
    bool cancelled() const { return cancel_ && *cancel_; }

    // Sends one statement (unless cancelled); ok is 1 when it succeeded, else the error is
    // recorded. The rows, if any, come back.
    connection::ResultPtr query(const char* text, int& ok);
    int send(const char* text);
    int send_format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // "show create table" of a table or view; row is its first row, or null after a
    // failure (then recorded).
    connection::ResultPtr show_create(const std::string& database, const std::string& name, MYSQL_ROW& row);
    // A SELECT of rows, read unbuffered; null when it failed (nothing recorded).
    connection::ResultPtr select_rows(const char* statement);
    // Once connected: a connection that ends otherwise than by close() without a cancel (the
    // stop cuts it off, and the client library closes it on the failed read that follows)
    // is reset. The server may be blocked sending rows that will never be read, and would
    // wait for its write time-out (a minute) before it noticed a polite close.
    void reset_unless_closed();
    // Ends the session: politely, unless the run was cancelled.
    void close();

    // The error of the step at hand: what the connection says, or a text of our own.
    void record_connection_error();
    void record_error(const char* text);
    void clear_error() { error_text_.clear(); }
    const common::StrBuf& error_text() const { return error_text_; }

private:
    connection::ServerConnection server_;
    const std::atomic<bool>* cancel_ = nullptr;
    common::StrBuf error_text_;
};

}  // namespace kro::export_
