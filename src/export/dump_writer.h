// DumpWriter: writes a SQL dump of one database, a list of databases or all databases of a
// server, to one file, a file per database or a file per object. It is made from the export
// job's settings, then run() is called once. The writer opens its own connection (closed
// when the writer ends), reads rows unbuffered and never holds a table in memory.
// Errors met on the way are reported as they happen; run() then returns kDumpFailed.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <mysql.h>

#include "common/str_buf.h"
#include "connection/connect.h"
#include "connection/connection_info.h"
#include "connection/result_ptr.h"
#include "export/dump_output.h"
#include "export/export_settings.h"
#include "export/insert_writer.h"
#include "export/key_pages.h"

namespace kro::report {
struct ReportBody;
}

namespace kro::export_ {

// Progress events: user value, name, count, event number (DumpEvent).
using DumpProgressFn = void (*)(void* user, const char* name, long count, int event);

enum DumpEvent {
    kDatabaseStarted = 0,
    kTableStarted = 1,
    kViewStarted = 2,
    kProcedureStarted = 3,
    kFunctionStarted = 4,
    kTriggerStarted = 5,
    kEventStarted = 6,
    kObjectFinished = 7,
    kRowProgress = 8,
    kRowTotal = 9,
    kObjectCount = 10,
    kGroupStarted = 11,
    kRowEstimate = 12,  // the server's estimate of a table's rows, before them (only for a progress line)
};

enum DumpResult { kDumpFailed = 2, kDumpFileNotOpened = 3, kDumpSucceeded = 5 };

class DumpWriter {
public:
    // job: what to dump and how; its source database names the databases (separated by
    // ";" or ","), read in the locale's character set unless values_are_utf8 and the dump
    // is in utf8.
    DumpWriter(const ExportJob& job, int values_are_utf8);
    ~DumpWriter();
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    // Failures met while dumping are also added to this report.
    void set_report(report::ReportBody* report) { report_ = report; }

    // Returns kDumpFailed, kDumpFileNotOpened or kDumpSucceeded. cancel may be null.
    int run(DumpProgressFn progress, void* user, const std::atomic<bool>* cancel);
    // The last failure reported while dumping, else the last error recorded.
    const common::StrBuf& last_error() const { return reported_error_.empty() ? error_text_ : reported_error_; }
    // Whether last_error() is on the console and in the log already.
    bool last_error_reported() const { return !reported_error_.empty(); }

private:
    // Timestamps are read and written in UTC, so that the dump replays the same instants in
    // a session of any time zone.
    static constexpr const char* kUtcSession = "/*!40103 SET TIME_ZONE='+00:00' */";

    // Statements and errors.
    int connect();
    unsigned long server_max_packet();
    bool cancelled() const { return cancel_ && *cancel_; }
    // Cancelled, or the output cannot be written any more: nothing more is dumped.
    bool must_stop() const { return cancelled() || output_.failed(); }
    // Sends one statement (unless cancelled); ok is 1 when it succeeded, else the error is
    // recorded. The rows, if any, come back.
    connection::ResultPtr query(const char* text, int& ok);
    // "show create table" of a table or view of the current database; row is its first
    // row, or null after a failure (then recorded).
    connection::ResultPtr show_create(const std::string& name, MYSQL_ROW& row);
    int send(const char* text);
    int send_format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void record_connection_error();
    void record_error(const char* text);
    void report_object_failure(bool file_open_failed);
    // A failed write: reported once where it happened, counted here.
    void note_output_failure();
    int flush_output();
    void event(const char* name, long count, int number);
    std::string quoted(const std::string& name) const;
    // A name as it goes inside a /* */ comment: back-quoted and harmless there.
    std::string comment_name(const std::string& name) const;
    void print_warning(const common::StrBuf& text);
    std::string effective_charset() const;
    void set_names_on_connection();
    int lock_for_flush();  // 0 when the lock was asked for and refused
    int list_names(const char* statement, std::vector<std::string>& names);
    // Dumps each object with dump_one; event 7 follows each one that reached its file when
    // finished_event is set. In the per-object form each object's file ends here.
    int each_object(const std::vector<std::string>& names,
                    const std::function<int(const std::string&, bool&)>& dump_one, bool finished_event);

    // Databases.
    int dump_database_list();
    int list_databases(std::vector<std::string>& names);
    int dump_all_databases();
    int dump_all_databases_single_file(const std::vector<std::string>& names);
    int dump_all_databases_per_file(const std::vector<std::string>& names);
    int all_databases_table_pass(const std::string& name);
    int dump_database(const std::string& name, bool* file_open_failed = nullptr);
    int dump_database_content(const std::string& name);
    int dump_objects_of_database(bool with_tables);

    // Text sections.
    void write_header();
    void write_set_block();
    void write_footer();
    int write_database_section(const std::string& name);
    int begin_object_file(const std::string& name, bool& file_open_failed);
    void end_object_file();
    void report_displaced_file(const std::string& what);

    // Tables.
    int table_group();
    int table_loop(const std::vector<std::string>& names);
    int load_sequences();
    void sequences_first(std::vector<std::string>& names) const;
    int dump_table(const std::string& name, bool& file_open_failed);
    int write_table_structure(const std::string& name, bool& is_view);
    int write_sequence(const std::string& name);
    int write_table_data(const std::string& name);
    // How a table's rows are read.
    struct TablePlan {
        std::string select_list = "*";  // or the columns by name, when some are invisible
        bool column_list = false;       // the INSERTs name their columns
        std::string primary_order;      // the primary key's columns, for offset pages
        std::vector<KeyColumn> key;     // the unique key pages follow; empty: offset pages
    };
    int plan_table(const std::string& name, TablePlan& plan);
    // Key values of the rows read, for the next page's WHERE clause.
    struct KeyCapture {
        const std::vector<KeyColumn>* key = nullptr;
        std::vector<int> positions;  // of the key columns in the result
        std::vector<std::string> values;
    };
    int read_key_pages(const std::string& name, const TablePlan& plan, long& rows_seen);
    int read_offset_pages(const std::string& name, const TablePlan& plan, long total, long& rows_seen);
    connection::ResultPtr select_rows(const char* statement);
    int read_rows(const char* statement, const std::string& table, long& rows_seen, KeyCapture* capture);

    // Views, routines, events, triggers.
    bool server_knows(ObjectKind kind);
    int group_names(ObjectKind kind, std::vector<std::string>& names);
    int object_group(ObjectKind kind, bool placeholders = false);
    int object_list(ObjectKind kind);
    int object_loop(ObjectKind kind, const std::vector<std::string>& names);
    int dump_object(ObjectKind kind, const std::string& name, bool& file_open_failed);
    int write_routine(ObjectKind kind, const std::string& name);
    int write_event(const std::string& name);
    int write_trigger(const std::string& name);
    // The SQL mode, client character set and connection collation (and for events the
    // time zone) an object was created under; empty texts are not set.
    struct ProgramSession {
        std::string sql_mode, character_set_client, collation_connection, time_zone;
    };
    int routine_session(ObjectKind kind, const std::string& name, ProgramSession& session);
    static std::vector<std::array<std::string, 3>> session_variables(const ProgramSession& session);
    void write_session_start(const ProgramSession& session);
    void write_session_end(const ProgramSession& session);
    std::string event_scheduler_state();
    int view_list(const std::vector<std::string>& names, bool placeholders);
    int view_loop(const std::vector<std::string>& names, bool placeholders);
    int write_view_placeholder(const std::string& name, bool with_comment);
    int write_view(const std::string& name, bool& file_open_failed);

    const ExportOptions& options() const { return job_.options; }

    connection::ServerConnection server_;
    ExportJob job_;  // its source has no database: the connection selects none
    report::ReportBody* report_ = nullptr;
    DumpOutput output_;
    InsertWriter inserts_;

    common::StrBuf database_list_;
    std::string current_db_;
    long page_size_ = 0;  // rows per SELECT; 0: the whole table at once

    long packet_limit_kb_ = 0;
    unsigned long max_packet_bytes_ = 0;  // the server's max_allowed_packet; 0: unknown
    bool commit_pending_ = false;
    bool event_scheduler_written_ = false;
    std::set<std::string> sequences_;  // of the current database
    std::set<std::string> broken_views_;  // "database.view" whose placeholder failed
    std::vector<std::string> result_columns_;  // the current table's, from its first page
    common::StrBuf pending_warning_;  // printed once the table's line is complete

    unsigned error_number_ = 0;
    common::StrBuf error_text_;      // the current step's error
    common::StrBuf reported_error_;  // the last failure reported
    unsigned errors_ = 0;    // failures met so far
    DumpProgressFn progress_ = nullptr;
    void* progress_user_ = nullptr;
    const std::atomic<bool>* cancel_ = nullptr;
};

extern const char kObjectFileOpenError[];

// The DEFINER clause of a trigger from the definer SHOW TRIGGERS gives ("user@host"), split
// at its last "@"; quote_literal escapes a part for inside single quotes. A definer that
// ends in "@" is a role and is written without a host; one without a user part gives an
// empty clause.
std::string trigger_definer_clause(std::string_view definer,
                                   std::string (*quote_literal)(void* context, std::string_view text),
                                   void* context);

}  // namespace kro::export_
