// DumpWriter: writes a SQL dump of one database, a list of databases or all databases of a
// server, to one file, a file per database or a file per object. It is made from the export
// job's settings, then run() is called once. The writer opens its own connection (closed
// when the writer ends), reads rows unbuffered and never holds a table in memory.
// Errors met on the way are reported as they happen; run() then returns kDumpFailed.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/str_buf.h"
#include "export/binlog_position.h"
#include "export/dump_connection.h"
#include "export/dump_events.h"
#include "export/dump_output.h"
#include "export/export_settings.h"

namespace kro::report {
struct ReportBody;
}

namespace kro::export_ {

enum DumpResult { kDumpFailed = 2, kDumpFileNotOpened = 3, kDumpSucceeded = 5 };

// The SQL mode, client character set and connection collation (for events also the time
// zone; for routines, triggers and events also the default collation their database had) a
// stored object was created under. A setting the server does not tell is not set; an empty
// SQL mode is a setting.
struct ProgramSession {
    std::optional<std::string> sql_mode, character_set_client, collation_connection, time_zone, database_collation;
};

// An object's CREATE text and the session it was made in.
struct ProgramDefinition {
    std::string create;
    ProgramSession session;
};

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
    const common::StrBuf& last_error() const {
        return reported_error_.empty() ? source_.error_text() : reported_error_;
    }
    // Whether last_error() is on the console and in the log already.
    bool last_error_reported() const { return !reported_error_.empty(); }
    // The files finished complete, and the binary log position last taken (if any).
    const std::vector<WrittenFile>& written_files() const { return output_.written(); }
    const std::optional<BinlogPosition>& binlog_position() const { return binlog_position_; }

private:
    // Connection and failures.
    int connect();
    unsigned long server_max_packet();
    // Cancelled, or the output cannot be written any more: nothing more is dumped.
    bool must_stop() const { return source_.cancelled() || output_.failed(); }
    void report_object_failure(bool file_open_failed);
    // A failed write: reported once where it happened, counted here.
    void note_output_failure();
    int flush_output();
    void print_warning(const common::StrBuf& text);
    std::string effective_charset() const;
    void set_names_on_connection();
    int enter_database(const std::string& name);  // 0 when the dump must end
    int lock_for_flush();  // 0 when the lock was asked for and refused
    // A flush ends the transaction it runs in: inside a snapshot the flushes the job asks
    // for come once, before the snapshot begins (start_snapshot), never per object.
    bool flushes_per_object() const { return !options().singletransaction; }
    // FLUSH LOGS and FLUSH MASTER as the job asks, once; 0 when one was refused.
    int flush_before_snapshot();
    int list_names(const char* statement, std::vector<std::string>& names);
    // Dumps each object with dump_one; event 7 follows each one that reached its file when
    // finished_event is set. In the per-object form each object's file ends here.
    int each_object(const std::vector<std::string>& names,
                    const std::function<int(const std::string&, bool&)>& dump_one, bool finished_event);

    // Databases.
    int dump_database_list();
    // Form A's several <database> children, each with its own objects, in document order.
    int dump_selected_databases();
    int dump_selected_databases_single_file();
    void use_selection(const DatabaseSelection& selection);
    bool is_excluded(const std::string& name) const;
    int list_databases(std::vector<std::string>& names);
    int dump_all_databases();
    int dump_all_databases_single_file(const std::vector<std::string>& names);
    // A file each; with selections (one per name) each database dumps its own objects.
    int dump_all_databases_per_file(const std::vector<std::string>& names,
                                    const std::vector<DatabaseSelection>* selections = nullptr);
    int all_databases_table_pass(const std::string& name);
    int dump_database(const std::string& name, bool* file_open_failed = nullptr);
    int dump_database_content(const std::string& name, bool begin_reading);
    // The session a database is read in: its character set, the consistent snapshot and the
    // binary log position when asked for. 0 when the database cannot be dumped.
    int begin_database_read();
    // 1 with the snapshot started, 0 when it failed, -1 when the position could not be read.
    int start_snapshot(bool with_position);
    int read_position();
    int report_position_failure();
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

    // Views, routines, packages, events, triggers.
    bool wants_all(ObjectKind kind) const;
    bool server_knows(ObjectKind kind);
    int group_names(ObjectKind kind, std::vector<std::string>& names);
    int object_group(ObjectKind kind, bool placeholders = false);
    int object_list(ObjectKind kind);
    int object_loop(ObjectKind kind, const std::vector<std::string>& names);
    int dump_object(ObjectKind kind, const std::string& name, bool& file_open_failed);
    int write_routine(ObjectKind kind, const std::string& name);
    int write_package(const std::string& name);
    int write_event(const std::string& name);
    int write_trigger(const std::string& name);
    int routine_session(ObjectKind kind, const std::string& name, ProgramSession& session);
    // 1 with the definition, -1 when the server has no such object, 0 after another failure.
    int show_create_program(const char* what, const std::string& name, const char* column,
                            ProgramDefinition& definition);
    void write_program(const char* version_comment, const std::string& create, const ProgramSession& session,
                       std::string_view first = {});
    // The character set of the texts the server sends ("" when unknown).
    const std::string& text_charset();
    int text_to_charset(std::string& text, const std::string& charset);
    const std::string& database_collation();
    // Writes block, an object's statements, inside the session the object was created in.
    void write_in_session(const ProgramSession& session, std::string block);
    std::string event_scheduler_state();
    // The triggers of each table are written right after its rows.
    int load_table_triggers();
    int table_triggers(const std::string& table);
    std::vector<std::string> unwritten_triggers(const std::vector<std::string>& names) const;
    int view_list(const std::vector<std::string>& names, bool placeholders);
    int view_loop(const std::vector<std::string>& names, bool placeholders);
    // A stand-in for each view of the current database; a view whose stand-in fails is
    // reported and counted broken. 0 when the job stops there.
    int view_placeholders(const std::vector<std::string>& names);
    void order_views(std::vector<std::string>& names);
    int write_view_placeholder(const std::string& name, bool with_comment);
    int write_view(const std::string& name, bool& file_open_failed);

    const ExportOptions& options() const { return job_.options; }

    DumpConnection source_;
    ExportJob job_;  // its source has no database: the connection selects none
    report::ReportBody* report_ = nullptr;
    DumpOutput output_;
    DumpEvents events_;

    common::StrBuf database_list_;
    std::string current_db_;
    long page_size_ = 0;  // rows per SELECT; 0: the whole table at once

    long packet_limit_kb_ = 0;
    unsigned long max_packet_bytes_ = 0;  // the server's max_allowed_packet; 0: unknown
    bool commit_pending_ = false;  // a table's data opened a transaction: COMMIT after each table
    bool event_scheduler_written_ = false;
    std::set<std::string> sequences_;  // of the current database
    std::set<std::string> broken_views_;  // "database.view" whose placeholder failed
    std::set<std::string> stand_in_views_;  // "database.view" with a stand-in in the dump
    std::map<std::string, std::vector<std::string>> table_triggers_;  // of the current database, by table
    std::set<std::string> written_triggers_;  // "database.trigger" written after their table
    std::optional<BinlogPosition> binlog_position_;  // of the data being read, for the header
    std::optional<std::string> text_charset_;  // the connection's character_set_results, once asked
    std::optional<std::pair<std::string, std::string>> collation_of_;  // a database and its default collation
    common::StrBuf pending_warning_;  // the current object's, printed once its line is complete

    common::StrBuf reported_error_;  // the last failure reported
    unsigned errors_ = 0;    // failures met so far
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
