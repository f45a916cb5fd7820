#include "notify/notify_job.h"

#include <chrono>
#include <cstring>

#include <tinyxml2.h>

#include "connection/connect.h"
#include "connection/result_ptr.h"
#include "connection/server_version.h"
#include "connection/ssh_tunnel.h"
#include "connection/statements.h"
#include "mail/mailer.h"
#include "mail/report_texts.h"
#include "notify/notify_settings.h"
#include "notify/result_table.h"
#include "notify/sql_splitter.h"
#include "platform/stop_signals.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::notify {

namespace {

bool has_control_byte(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32) return true;
    return false;
}

void append_query_lines(ReportBody& body, std::string_view statement) {
    body.append("<p class=\"text\">Query: ", " ");
    body.append_text(statement);
    body.append("<br><br>", "\r\n\r\n");
}

// A statement the server refused: console (with the log hint), log and session file, and
// the mail lines the job asks for.
void report_statement_error(const NotifyJob& job, std::string_view statement, const char* error,
                            ReportBody& body) {
    StrBuf text;
    text.format("%s\r\n", error);
    report_failure_no_entry(text.c_str());
    add_session_entry(error);
    flush_outputs();
    if (job.include_query) append_query_lines(body, statement);
    if (job.include_msg) {
        body.append("<p class=\"error\">", " ");
        body.append_text(error);
        body.append("<br><br>", "\r\n\r\n");
    }
}

// Adds one successful statement's result to the mail.
void add_result(const NotifyJob& job, Tunnel& tunnel, MYSQL* handle, TunnelResult* result,
                std::string_view statement, ReportBody& body) {
    if (tunnel.field_count(handle) == 0 || !job.send_result) return;
    if (job.include_query) append_query_lines(body, statement);
    std::uint64_t rows = result ? tunnel.num_rows(result) : 0;
    if (rows > 0) append_result_table(tunnel, handle, result, body);
    if (job.include_msg) {
        StrBuf count;
        count.format("(%u row(s)returned)", static_cast<unsigned>(rows));
        body.append("<font face='Verdana' size=2>", " ");
        body.append(count.c_str(), count.c_str());
        body.append("</font><br><br>", "\r\n\r\n");
    }
}

// Why the statements after a lost session are not run: a new session would have lost the
// transaction, locks and variables the statements before set up.
const char kSessionLost[] = "Not run: the connection to the server was lost before this statement.";

// Runs every statement once. 0 when one failed in a way that ends the run (no mail then).
// Once the session is lost, every later statement fails without being sent, and
// session_lost says so.
// The statements of a run: those sent, and those that failed (sent or not).
struct StatementCounts {
    unsigned sent = 0;
    unsigned failed = 0;
};

int run_statements(const NotifyJob& job, Tunnel& tunnel, MYSQL* handle, ReportBody& body, bool& session_lost,
                   StatementCounts& counts) {
    SqlSplitter splitter(job.query.c_str(), job.query.length());
    session_lost = false;
    for (;;) {
        SqlSplitter::Piece piece = splitter.next_statement();
        if (piece.kind == SqlSplitter::Kind::End) return 1;
        if (piece.kind == SqlSplitter::Kind::DelimiterCommand) continue;
        // An empty statement (";;") is a slip of the pen, not a statement to report.
        // The statement is used where the splitter holds it: a statement can be as long as
        // the job file.
        const std::string_view statement = piece.text;
        if (statement.find_first_not_of(" \t\r\n") == std::string_view::npos) continue;
        if (platform::stop_requested()) return 0;  // no statement is sent once the run is being stopped
        if (session_lost) {
            ++counts.failed;
            report_statement_error(job, statement, kSessionLost, body);
            continue;
        }
        // A statement can fail when it is sent or when its result is read (through the HTTP
        // tunnel the server's answer only comes with the result): both are one failure,
        // and abortonerror alone decides whether the next statement runs.
        ResultPtr result = make_result(tunnel, nullptr);
        ++counts.sent;
        bool failed = tunnel.real_query(handle, statement.data(), statement.size(),
                                        has_control_byte(statement)) != 0;
        if (!failed) {
            result = make_result(tunnel, tunnel.store_result(handle));
            failed = !result && statement_failed(tunnel, handle);
        }
        if (failed) {
            ++counts.failed;
            report_statement_error(job, statement, tunnel.error(handle), body);
            session_lost = !session_alive(tunnel, handle);
            if (job.abort_on_error) return 0;
            continue;
        }
        print_console_line("Query execution successful");
        flush_outputs();
        add_result(job, tunnel, handle, result.get(), statement, body);
        result.reset();
        // A procedure call answers with more than one result: take them all, so that the
        // connection is ready for the next statement. One that fails on the way fails the
        // statement.
        int more;
        while ((more = tunnel.next_result(handle)) == 0) make_result(tunnel, tunnel.store_result(handle));
        if (more > 0) {
            ++counts.failed;
            report_statement_error(job, statement, tunnel.error(handle), body);
            session_lost = !session_alive(tunnel, handle);
            if (job.abort_on_error) return 0;
        }
    }
}

int send_result_mail(const NotifyJob& job, const ReportBody& body) {
    Mailer mailer;
    mailer.fill(job.mail, body);
    if (mailer.send()) {
        print_and_append_log("Mail sent successfully\r\n");
        return 1;
    }
    StrBuf text;
    text.format("%s\r\n\r\n", mailer.error_text.c_str());
    report_failure(text.c_str());
    return 0;
}

int run_notify(NotifyJob& job, StrBuf& error, StatementCounts& counts) {
    ConnectionInfo& source = job.source;
    if (source.use_ssh && !start_job_tunnels(&source, nullptr)) return 0;  // reported
    SshClientStopper stop_ssh(source);
    ServerConnection conn;
    ConnectSetup setup;
    setup.side = "source";
    if (!open_connection(conn, source, job.http, setup)) return 0;  // reported
    if (!set_up_session(conn, source)) {
        error.assign(conn.tunnel->error(conn.handle), 1);
        return 0;
    }

    ReportBody body;
    append_report_frame(body);
    bool session_lost = false;
    if (!run_statements(job, *conn.tunnel, conn.handle, body, session_lost, counts)) return 0;
    body.append("</body></html>", " ");
    conn.close();
    // A stop that arrives once the mail is begun lets it be finished (see send_report_if_asked).
    platform::SocketsKeptThroughStop mailing;
    if (platform::stop_requested()) return 0;  // results of a stopped run are not mailed
    int sent = job.send_result ? send_result_mail(job, body) : 1;
    // The results are mailed all the same, but a job whose session was lost did not do
    // what it says.
    return session_lost ? 0 : sent;
}

}  // namespace

int run_notify_job(tinyxml2::XMLDocument& doc, long, FILE*, FILE*, int values_are_utf8) {
    const auto started = std::chrono::steady_clock::now();
    NotifyJob job;
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    read_notify_job(root ? root->FirstChildElement() : nullptr, job, values_are_utf8);
    if (!validate_notify_job(job)) return 0;
    print_job_started();
    StrBuf error;
    StatementCounts counts;
    int ok = run_notify(job, error, counts);
    set_job_summary("Ran " + std::to_string(counts.sent) + " statements, " + std::to_string(counts.failed) + " failed.");
    // A server that answered the connect but not the first statement (an HTTP tunnel that
    // cannot be reached) is a connection failure like any other.
    if (!ok && !error.empty()) report_failure(error.c_str());
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    print_time_taken("\n\n", static_cast<unsigned>(seconds.count()));
    flush_outputs();
    return ok;
}

}  // namespace kro::notify
