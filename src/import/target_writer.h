// TargetWriter: the import's MySQL side. It owns the target connection and its session
// (kept across a lost connection when that loses no rows, see KeptSession), runs the
// import's statements and reports their failures naming the table at hand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "connection/connect.h"
#include "connection/kept_session.h"
#include "connection/statement_outcome.h"
#include "import/import_progress.h"
#include "import/schema_builder.h"

namespace kro::connection {
struct ConnectionInfo;
struct HttpTunnelSettings;
}  // namespace kro::connection

namespace kro::import {

class TargetWriter {
public:
    explicit TargetWriter(ImportProgress& progress) : progress_(progress), session_(*this) {}
    TargetWriter(const TargetWriter&) = delete;
    TargetWriter& operator=(const TargetWriter&) = delete;

    // Connects, sets the session up and creates and selects the database. With execute
    // false no statement is sent after the connect (each then "fails").
    int connect(connection::ConnectionInfo& info, const connection::HttpTunnelSettings& http, bool execute);

    // The source table the following statements are for, named in their errors ("" for none).
    void set_table(const std::string& source_name) { table_ = source_name; }
    const std::string& table() const { return table_; }

    // Runs one statement; a failure (but for a missing table) is reported with the
    // statement. prefix: through the HTTP tunnel the session settings travel with it.
    int run(std::string_view text, bool prefix);
    // Whether the target table (a name as it goes into SQL) is there: any answer but the
    // server's "no such table" counts as there (an error other than that is reported).
    bool table_exists(const std::string& quoted_name);
    // Runs a statement that stores rows (with the prefix) and tells what became of it; a
    // refusal is reported as by run.
    connection::StatementOutcome write_rows(std::string_view text);
    // A row statement sent without waiting for its answer, so that the next one is built
    // while the server runs it (direct connections); false when it could not be sent
    // (reported). Its answer is read by answer_ahead before anything else is sent.
    bool send_ahead(std::string_view text);
    connection::StatementOutcome answer_ahead(std::string_view text);
    // The target's error for the statement, reported (console, log, report).
    void report_error(std::string_view statement);
    // After a statement that stored rows: 0 when the server changed a value to make it fit
    // (rounded it, or cut it where strict mode does not apply), reported with the statement.
    int values_kept(std::string_view statement);

    // Foreign key checks on or off for the statements that follow.
    int set_foreign_key_checks(bool on);
    // A table's rows are written inside a transaction (direct connections): begin_rows
    // switches autocommit off, commit_rows commits (0, reported, when the server did not),
    // rollback_rows takes the rows back where the table's engine can; both switch
    // autocommit on again. takes_back: the table's engine rolls back, so a row statement a
    // lost connection broke off may be sent again on a new session (never elsewhere).
    int begin_rows(bool takes_back);
    int commit_rows();
    void rollback_rows();
    // Can the table take rows back (a transactional engine, reached directly)?
    bool takes_back(const std::string& database, const std::string& table);
    // The table's rows now (0 when the server did not say).
    std::uint64_t row_count(const std::string& database, const std::string& table);
    // A row statement succeeded: its rows wait for the commit.
    void rows_stored() { session_.changed(); }
    // The server's error number for the statement last sent.
    unsigned error_number() { return tunnel().error_number(handle()); }
    // The target table's primary-key columns, in key order (none when it has no primary
    // key or the server did not say).
    std::vector<std::string> primary_key(const std::string& database, const std::string& table);

    // The server's packet allowance in KiB (see connection::packet_allowance), asked on the
    // kept session: one lost since the last statement comes back with the import's settings.
    long packet_allowance();

    TargetFacts facts();
    connection::Tunnel& tunnel() { return *conn_.tunnel; }
    MYSQL*& handle() { return conn_.handle; }
    bool is_http() const { return conn_.tunnel->is_http(); }
    bool server_5() const { return server_5_; }
    bool executes() const { return execute_; }

private:
    struct Session : connection::KeptSession {
        explicit Session(TargetWriter& writer) : writer(writer) {}
        TargetWriter& writer;
        bool set_up() override { return writer.set_up_session(); }
    };
    // The session's settings, at the start and on a new session after a lost one.
    bool set_up_session();
    connection::StatementOutcome send(std::string_view text, bool prefix, bool write = false);
    connection::StatementOutcome send_http(std::string_view text, bool prefix);

    ImportProgress& progress_;
    connection::ServerConnection conn_;
    Session session_;
    std::string table_;
    bool server_5_ = true;
    bool execute_ = true;
    bool foreign_key_checks_ = false;
    bool setting_up_ = false;  // a session being set up is not reopened again
};

}  // namespace kro::import
