// DumpWriter: writes a SQL dump of one database, a list of databases or all databases of a
// server, to one file, a file per database or a file per object. The export job fills it
// through the setters, then calls run() once. The writer opens its own connection (closed
// when the writer ends), reads rows unbuffered and never holds a table in memory.
// Errors met on the way are reported as they happen; run() then returns kDumpFailed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <mysql.h>

#include "common/str_buf.h"
#include "connection/connect.h"
#include "connection/connection_info.h"
#include "connection/result_ptr.h"
#include "export/dump_output.h"
#include "export/insert_writer.h"

struct ReportBody;

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
};

enum DumpResult { kDumpFailed = 2, kDumpFileNotOpened = 3, kDumpSucceeded = 5 };

// The six kinds of object, in the order the job file lists them.
enum ObjectKind { kTables, kViews, kProcedures, kFunctions, kTriggers, kEvents, kObjectKinds };

class DumpWriter {
public:
    DumpWriter();
    ~DumpWriter();
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;

    // Connection: the server's settings (host, port, user, password, SSL block, SSH local
    // end, HTTP tunnel flag and URL) and the HTTP proxy and authentication settings.
    void set_connection(const ConnectionInfo& server, const HttpTunnelSettings& http);

    void set_charset(const char* name) { charset_.assign(name, 1); }
    // Names separated by ";" or ",".
    void set_database_list(const char* names) { database_list_.assign(names, 1); }
    void set_all_databases(int on) { all_databases_ = on; }
    void set_include_mysql_db(int on) { include_mysql_db_ = on; }
    void set_file_path(const char* path) { output_.set_file_path(path); }
    // 0 when the time-stamped sub-directory cannot be created.
    int set_directory(const char* dir, int timestamp_dir) {
        return output_.set_directory(dir, timestamp_dir, all_databases_);
    }
    void set_timestamp(int on) { output_.set_timestamp(on); }
    void set_append(int on) { output_.set_append(on); }

    void set_autocommit_off(int on) { autocommit_off_ = on; }
    void set_bulk_insert(int on) { bulk_insert_ = on; }
    void set_bulk_size(long kb) { bulk_size_kb_ = kb; }
    void set_complete_insert(int on) { complete_insert_ = on; }
    void set_create_database(int on) { create_database_ = on; }
    void set_disable_keys(int on) { disable_keys_ = on; }
    void set_fk_checks_off(int on) { fk_checks_off_ = on; }
    void set_flush_logs(int on) { flush_logs_ = on; }
    void set_flush_master(int on) { flush_master_ = on; }
    void set_flush_slave(int on) { flush_slave_ = on; }
    void set_insert_delayed(int on) { insert_delayed_ = on; }
    void set_lock_tables_read(int on) { lock_tables_read_ = on; }
    void set_lock_tables_write(int on) { lock_tables_write_ = on; }
    void set_single_transaction(int on) { single_transaction_ = on; }
    void set_structure_only(int on) { structure_only_ = on; }
    void set_use_database(int on) { use_database_ = on; }
    void set_drop_objects(int on) { drop_objects_ = on; }
    void set_chunk_insert(int on) { chunk_insert_ = on; }
    void set_page_size(long rows) { page_size_ = rows; }
    void set_banner(const char* text) { banner_.assign(text, 1); }
    void set_abort_on_error(int on) { abort_on_error_ = on; }
    void set_create_view(int on) { create_view_ = on; }
    // Kept for the job file's sake; the writer's choice of objects comes from the flags
    // and lists below.
    void set_create_procedure(int on) { create_procedure_ = on; }
    void set_create_function(int on) { create_function_ = on; }
    void set_create_trigger(int on) { create_trigger_ = on; }

    // Object selection: everything, or per kind all of them or the names of a list.
    void set_all_objects(int on) { all_objects_ = on; }
    void set_all_of_kind(ObjectKind kind, int on) { all_of_kind_[kind] = on; }
    void set_object_list(ObjectKind kind, std::vector<std::string> names) {
        lists_[kind] = std::move(names);
    }

    // Failures met while dumping are also added to this report.
    void set_report(ReportBody* report) { report_ = report; }

    // Returns kDumpFailed, kDumpFileNotOpened or kDumpSucceeded. cancel may be null.
    int run(DumpProgressFn progress, void* user, const volatile int* cancel);
    // The last failure reported while dumping, else the last error recorded.
    const StrBuf& last_error() const { return reported_error_.empty() ? error_text_ : reported_error_; }

private:
    // Statements and errors.
    int connect();
    bool cancelled() const { return cancel_ && *cancel_; }
    // Sends one statement (unless cancelled); ok is 1 when it succeeded, else the error is
    // recorded. The rows, if any, come back.
    ResultPtr query(const char* text, int& ok);
    // "show create table" of a table or view of the current database; row is its first
    // row, or null after a failure (then recorded).
    ResultPtr show_create(const std::string& name, MYSQL_ROW& row);
    int send(const char* text);
    int send_format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void record_connection_error();
    void record_error(const char* text);
    void report_object_failure(bool file_open_failed);
    void event(const char* name, long count, int number);
    std::string quoted(const std::string& name) const;
    std::string effective_charset() const;
    void set_names_on_connection();
    int lock_for_flush();  // 0 when the lock was asked for and refused
    int list_names(const char* statement, std::vector<std::string>& names);
    int each_object(const std::vector<std::string>& names,
                    const std::function<int(const std::string&, bool&)>& dump_one);

    // Databases.
    int dump_database_list();
    int list_databases(std::vector<std::string>& names);
    int dump_all_databases();
    int dump_all_databases_single_file(const std::vector<std::string>& names);
    int dump_all_databases_per_file(const std::vector<std::string>& names);
    int all_databases_table_pass(const std::string& name);
    int dump_database(const std::string& name, bool* file_open_failed = nullptr);
    int dump_objects_of_database(bool with_tables);

    // Text sections.
    void write_header();
    void write_set_block();
    void write_footer();
    int write_database_section(const std::string& name);
    int begin_object_file(const std::string& name, bool& file_open_failed);
    int end_object_file();

    // Tables.
    int table_group();
    int table_loop(const std::vector<std::string>& names);
    int dump_table(const std::string& name, bool& file_open_failed);
    int write_table_structure(const std::string& name, bool& is_view);
    int write_table_data(const std::string& name);
    int primary_key_order(const std::string& name, std::string& order);
    int read_rows(const char* statement, long& rows_seen);

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
    int view_list(const std::vector<std::string>& names, bool placeholders);
    int view_loop(const std::vector<std::string>& names, bool placeholders);
    int write_view_placeholder(const std::string& name, bool with_comment);
    int write_view(const std::string& name, bool& file_open_failed);

    ServerConnection server_;
    ConnectionInfo info_;
    HttpTunnelSettings http_;
    ReportBody* report_ = nullptr;
    DumpOutput output_;
    InsertWriter inserts_;

    StrBuf charset_;
    StrBuf database_list_;
    std::string current_db_;
    StrBuf banner_;

    int all_databases_ = 0;
    int include_mysql_db_ = 0;
    int autocommit_off_ = 0;
    int bulk_insert_ = 0;
    long bulk_size_kb_ = 0;
    int complete_insert_ = 0;
    int create_database_ = 0;
    int disable_keys_ = 0;
    int fk_checks_off_ = 0;
    int flush_logs_ = 0;
    int flush_master_ = 0;
    int flush_slave_ = 0;
    int insert_delayed_ = 0;
    int lock_tables_read_ = 0;
    int lock_tables_write_ = 0;
    int single_transaction_ = 0;
    int structure_only_ = 0;
    int use_database_ = 0;
    int drop_objects_ = 0;
    int chunk_insert_ = 0;
    long page_size_ = 0;
    int abort_on_error_ = 0;
    int create_view_ = 0;
    int create_procedure_ = 0;
    int create_function_ = 0;
    int create_trigger_ = 0;
    int all_objects_ = 0;
    int all_of_kind_[kObjectKinds] = {};
    std::vector<std::string> lists_[kObjectKinds];

    long packet_limit_kb_ = 0;
    bool commit_pending_ = false;
    bool event_scheduler_written_ = false;

    unsigned error_number_ = 0;
    StrBuf error_text_;      // the current step's error
    StrBuf reported_error_;  // the last failure reported
    bool error_seen_ = false;
    DumpProgressFn progress_ = nullptr;
    void* progress_user_ = nullptr;
    const volatile int* cancel_ = nullptr;
};

extern const char kObjectFileOpenError[];

// The DEFINER clause of a trigger from the definer SHOW TRIGGERS gives ("user@host"), split
// at its last "@"; quote_literal escapes a part for inside single quotes. A definer that
// ends in "@" is a role and is written without a host; one without a user part gives an
// empty clause.
std::string trigger_definer_clause(std::string_view definer,
                                   std::string (*quote_literal)(void* context, std::string_view text),
                                   void* context);
