// The writer's run: connecting, the walk over databases and object kinds, and the text
// sections every file or database block carries (header, SET block, database section,
// footer).
#include "export/dump_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "common/html_text.h"
#include "common/sql_comment.h"
#include "connection/connect.h"
#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "platform/text_convert.h"
#include "report/process_state.h"
#include "report/reporting.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::export_ {

const char kObjectFileOpenError[] = "Error opening ExportFile. Please check details of your schema file.";

DumpWriter::DumpWriter(const ExportJob& job, int values_are_utf8) : job_(job) {
    ConnectionInfo& server = job_.source;
    if (options().usecharset.compare_nocase("utf8") != 0 && values_are_utf8)
        database_list_.assign(utf8_to_ansi(server.database.view()).c_str(), 1);
    else
        database_list_.copy_from(server.database);
    server.database.clear();
    server.http_timeout = 100000;
    if (!job_.all_databases) job_.include_mysql_db = 0;

    if (job_.to_file)
        output_.set_file_path(job_.path.c_str());
    else
        output_.set_directory(job_.path.c_str(), job_.timestampdir, job_.all_databases);
    output_.set_timestamp(job_.timestamp);
    output_.set_append(options().appendtofile);

    // Over the HTTP tunnel every page is a request of its own, so pages stay small there.
    const ExportOptions& o = options();
    if (server.use_http)
        page_size_ = o.chunkinsert && o.chunklimit >= 1 && o.chunklimit <= 1000 ? o.chunklimit : 1000;
    else if (o.chunkinsert)
        page_size_ = o.chunklimit;
}

DumpWriter::~DumpWriter() = default;

// ---------------------------------------------------------------------------------------
// Statements and errors

void DumpWriter::record_connection_error() {
    error_number_ = server_.tunnel->error_number(server_.handle);
    error_text_.assign(server_.tunnel->error(server_.handle), 1);
}

void DumpWriter::record_error(const char* text) {
    error_number_ = 0;
    error_text_.assign(text, 1);
}

ResultPtr DumpWriter::query(const char* text, int& ok) {
    ok = 0;
    if (cancelled()) {
        record_error("The export was cancelled.");
        return ResultPtr(nullptr, ResultDeleter{server_.tunnel.get()});
    }
    ResultPtr result = query_with_reconnect(*server_.tunnel, server_.handle, text, 0);
    if (!result && statement_failed(*server_.tunnel, server_.handle)) {
        record_connection_error();
        return result;
    }
    ok = 1;
    return result;
}

ResultPtr DumpWriter::show_create(const std::string& name, MYSQL_ROW& row) {
    StrBuf statement;
    statement.format("show create table `%s`.`%s`", quoted(current_db_).c_str(), quoted(name).c_str());
    int ok = 0;
    ResultPtr result = query(statement.c_str(), ok);
    row = ok && result ? server_.tunnel->fetch_row(result.get()) : nullptr;
    if (!row && ok) record_error("");
    return result;
}

int DumpWriter::send(const char* text) {
    int ok = 0;
    query(text, ok);
    return ok;
}

int DumpWriter::send_format(const char* fmt, ...) {
    StrBuf text;
    va_list args;
    va_start(args, fmt);
    text.vformat_at(0, fmt, args);
    va_end(args);
    return send(text.c_str());
}

void DumpWriter::event(const char* name, long count, int number) {
    if (progress_) progress_(progress_user_, name, count, number);
}

std::string DumpWriter::quoted(const std::string& name) const { return escape_identifier(name).str(); }

std::string DumpWriter::comment_name(const std::string& name) const { return sql_comment_text(quoted(name)); }

// A failed table or object: the file-open text, else the stored error, else what the
// connection says now. A failed write was reported where it happened.
void DumpWriter::report_object_failure(bool file_open_failed) {
    if (output_.failed()) {
        note_output_failure();
        return;
    }
    StrBuf text;
    if (file_open_failed) {
        text.assign(kObjectFileOpenError, 1);
        record_error(kObjectFileOpenError);
    } else if (!error_text_.empty()) {
        text.copy_from(error_text_);
    } else {
        text.assign(server_.tunnel->error(server_.handle), 1);
        error_text_.copy_from(text);
    }
    report_failure_no_entry(text.c_str());
    reported_error_.copy_from(text);
    if (report_) add_to_report(*report_, html_escaped(text.c_str()).c_str(), text.c_str());
    ++errors_;
}

void DumpWriter::note_output_failure() {
    if (reported_error_.compare(output_.last_write_error()) != 0) {
        ++errors_;
        reported_error_.copy_from(output_.last_write_error());
        error_text_.copy_from(output_.last_write_error());
        if (report_) {
            const char* text = output_.last_write_error().c_str();
            add_to_report(*report_, html_escaped(text).c_str(), text);
        }
    }
}

// Writes the buffer through to the file; 0 (the failure counted) when that failed.
int DumpWriter::flush_output() {
    if (output_.flush()) return 1;
    note_output_failure();
    return 0;
}

void DumpWriter::print_warning(const StrBuf& text) {
    print_and_log(text.c_str());
    std::printf("\n");
    if (report_) add_to_report(*report_, html_escaped(text.c_str()).c_str(), text.c_str());
}

// Each object in turn; a failing one is reported and the next one follows unless the run
// is to stop (abortonerror, cancel, a file that cannot be opened or written).
int DumpWriter::each_object(const std::vector<std::string>& names,
                            const std::function<int(const std::string&, bool&)>& dump_one, bool finished_event) {
    const bool own_files = output_.form() == OutputForm::per_object;
    for (const std::string& name : names) {
        if (must_stop()) return 0;
        bool file_open_failed = false;
        error_text_.clear();
        pending_warning_.clear();
        const unsigned errors_before = errors_;
        int ok = dump_one(name, file_open_failed);
        // "Export successful..." only once the object's text is in its file.
        if (ok && own_files) {
            ok = output_.finish(errors_ == errors_before);
            if (!ok) note_output_failure();
        } else if (ok) {
            ok = flush_output();
        }
        if (!ok) {
            report_object_failure(file_open_failed);
            if (own_files) output_.finish(false);
            if (job_.abortonerror || file_open_failed || must_stop()) return 0;
            continue;
        }
        if (finished_event) event(name.c_str(), 0, kObjectFinished);
        if (!pending_warning_.empty()) print_warning(pending_warning_);
    }
    return 1;
}

// The session speaks the dump's character set, so that the bytes written are the bytes the
// dump's SET NAMES line announces; "utf8" is four bytes wide where the server has utf8mb4.
void DumpWriter::set_names_on_connection() {
    if (options().usecharset.empty()) return;
    std::string name = effective_charset();
    StrBuf text;
    text.format("SET NAMES '%s'", escape_literal(*server_.tunnel, server_.handle, name).c_str());
    send(text.c_str());
    server_.tunnel->set_charset(name.c_str());
}

std::string DumpWriter::effective_charset() const {
    if (options().usecharset.compare_nocase("utf8") == 0 && server_has_utf8mb4(*server_.tunnel, server_.handle))
        return "utf8mb4";
    return options().usecharset.str();
}

// ---------------------------------------------------------------------------------------
// Run

int DumpWriter::connect() {
    ConnectSetup setup;
    setup.want_utf8 = 0;
    setup.encode_data = true;
    if (!open_connection(server_, job_.source, job_.http, setup)) {
        record_error("");  // reported where it happened
        return 0;
    }
    if (!server_.tunnel->fetch_server_version(server_.handle)) {
        record_connection_error();
        server_.close();
        return 0;
    }
    // Over the HTTP tunnel every request is a session of its own: the time zone goes with
    // each page instead (select_rows).
    if (!server_.tunnel->is_http() && !send(kUtcSession)) {
        server_.close();
        return 0;
    }
    return 1;
}

int DumpWriter::run(DumpProgressFn progress, void* user, const std::atomic<bool>* cancel) {
    progress_ = progress;
    progress_user_ = user;
    cancel_ = cancel;
    errors_ = 0;
    error_text_.clear();
    reported_error_.clear();

    if (!connect()) return kDumpFailed;
    const bool single_file = output_.form() == OutputForm::none || output_.form() == OutputForm::single_file;
    if (single_file && !output_.open_single()) return kDumpFileNotOpened;
    packet_limit_kb_ = packet_allowance(*server_.tunnel, server_.handle);
    max_packet_bytes_ = server_max_packet();
    inserts_.set_bulk(options().bulkinsert);
    inserts_.set_complete(options().completeinsert);
    inserts_.set_limits(packet_limit_kb_, options().bulksize);

    int ok = job_.all_databases ? dump_all_databases() : dump_database_list();
    // The one file is complete only when nothing failed on the way.
    if (single_file && !output_.finish(ok && errors_ == 0)) {
        note_output_failure();
        ok = 0;
    }
    server_.close();
    return ok && errors_ == 0 ? kDumpSucceeded : kDumpFailed;
}

unsigned long DumpWriter::server_max_packet() {
    int ok = 0;
    ResultPtr result = query("select @@max_allowed_packet", ok);
    MYSQL_ROW row = ok && result ? server_.tunnel->fetch_row(result.get()) : nullptr;
    return row && row[0] ? std::strtoul(row[0], nullptr, 10) : 0;
}

// ---------------------------------------------------------------------------------------
// Databases

int DumpWriter::dump_database_list() {
    std::string list = database_list_.str();
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find_first_of(";,", start);
        if (end == std::string::npos) end = list.size();
        if (end > start && !dump_database(list.substr(start, end - start))) return 0;
        start = end + 1;
    }
    return 1;
}

// The databases "show databases" lists, without the ones no dump should hold.
int DumpWriter::list_databases(std::vector<std::string>& names) {
    std::vector<std::string> all;
    if (!list_names("show databases", all)) return 0;
    bool has_schemas = server_at_least_5_0_10(*server_.tunnel, server_.handle);
    for (std::string& name : all) {
        // performance_schema holds no data of its own and its tables cannot be created
        // again, so a dump with it would not replay.
        if (has_schemas && (strcasecmp(name.c_str(), "information_schema") == 0 ||
                            strcasecmp(name.c_str(), "performance_schema") == 0))
            continue;
        if (!job_.include_mysql_db && strcasecmp(name.c_str(), "mysql") == 0) continue;
        names.push_back(std::move(name));
    }
    return 1;
}

int DumpWriter::dump_all_databases() {
    std::vector<std::string> names;
    if (!list_databases(names)) return 0;
    current_db_ = "(ALL)";
    server_.tunnel->set_current_db(current_db_.c_str());
    if (output_.form() == OutputForm::per_database || output_.form() == OutputForm::per_object)
        return dump_all_databases_per_file(names);
    return dump_all_databases_single_file(names);
}

int DumpWriter::dump_all_databases_single_file(const std::vector<std::string>& names) {
    write_header();
    write_set_block();
    for (const std::string& name : names) {
        if (!all_databases_table_pass(name) && (job_.abortonerror || must_stop())) return 0;
    }
    if (server_at_least_5_0_10(*server_.tunnel, server_.handle)) {
        for (const std::string& name : names) {
            output_.buffer().append_format("\nUSE `%s`;\n", quoted(name).c_str());
            current_db_ = name;
            if (!select_database(name.c_str(), server_.handle, *server_.tunnel)) {
                record_connection_error();
                report_object_failure(false);
                if (job_.abortonerror || must_stop()) return 0;
                continue;
            }
            if (!dump_objects_of_database(false) && (job_.abortonerror || must_stop())) return 0;
        }
    }
    write_footer();
    return flush_output();
}

int DumpWriter::dump_all_databases_per_file(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (must_stop()) return 0;
        event(name.c_str(), 0, kDatabaseStarted);
        bool file_open_failed = false;
        if (dump_database(name, &file_open_failed)) {
            event(name.c_str(), 0, kObjectFinished);
            continue;
        }
        if (file_open_failed) report_object_failure(true);
        else if (output_.failed()) note_output_failure();
        ++errors_;
        if (job_.abortonerror || file_open_failed || must_stop()) return 0;
    }
    return 1;
}

// One database of the all-databases single file: its section and its tables, each view
// as a placeholder table (the views themselves follow once every table exists).
int DumpWriter::all_databases_table_pass(const std::string& name) {
    set_names_on_connection();
    current_db_ = name;
    if (!write_database_section(name)) return 0;
    server_.tunnel->set_current_db(name.c_str());
    if (!lock_for_flush()) {
        report_object_failure(false);
        if (job_.abortonerror) return 0;
    }
    if (!select_database(name.c_str(), server_.handle, *server_.tunnel)) {
        record_connection_error();
        report_object_failure(false);
        return 0;
    }
    bool full = server_at_least_5_0_10(*server_.tunnel, server_.handle);
    StrBuf statement;
    statement.format("SHOW %s TABLES FROM `%s`", full ? "FULL" : "", quoted(name).c_str());
    int ok = 0;
    ResultPtr rows = query(statement.c_str(), ok);
    if (!ok || !rows) {
        report_object_failure(false);
        return 0;
    }
    std::vector<std::string> tables, views;
    sequences_.clear();
    while (MYSQL_ROW row = server_.tunnel->fetch_row(rows.get())) {
        if (!row[0]) continue;
        std::string_view type = full && row[1] ? row[1] : "BASE TABLE";
        if (type == "VIEW" || type == "SYSTEM VIEW")
            views.emplace_back(row[0]);
        else
            tables.emplace_back(row[0]);
        if (type == "SEQUENCE") sequences_.insert(row[0]);
    }
    rows.reset();
    sequences_first(tables);
    if (!table_loop(tables)) return 0;
    for (const std::string& view : views) {
        error_text_.clear();
        if (!write_view_placeholder(view, true)) {
            broken_views_.insert(name + "." + view);
            report_object_failure(false);
            if (job_.abortonerror || must_stop()) return 0;
        }
    }
    return 1;
}

// FLUSH TABLES WITH READ LOCK when the dump must match a binary log position; it holds every
// table, so the per-table read locks are not needed from here on.
int DumpWriter::lock_for_flush() {
    if (!options().flushslave && !options().flushmaster) return 1;
    if (!send("FLUSH TABLES WITH READ LOCK")) return 0;
    job_.options.locktableread = 0;
    return 1;
}

int DumpWriter::dump_database(const std::string& name, bool* file_open_failed) {
    current_db_ = name;
    const unsigned errors_before = errors_;
    const bool own_file = output_.form() == OutputForm::per_database;
    if (own_file) {
        if (!output_.open_for_database(name)) {
            if (file_open_failed) *file_open_failed = true;
            record_error(kObjectFileOpenError);
            return 0;
        }
        if (!output_.displaced_name().empty()) report_displaced_file(name);
        write_header();
        write_set_block();
    }
    int ok = dump_database_content(name);
    if (output_.form() == OutputForm::single_file || own_file) {
        write_footer();
        if (!flush_output()) ok = 0;
    }
    if (own_file && !output_.finish(ok && errors_ == errors_before)) {
        note_output_failure();
        ok = 0;
    }
    return ok;
}

// What a database's block holds after its header: its section, the session the dump is
// read in, and its objects.
int DumpWriter::dump_database_content(const std::string& name) {
    if (output_.form() == OutputForm::per_database && !write_database_section(name)) return 0;
    set_names_on_connection();
    // The consistency the job asks for is part of the dump: without it the dump is not what
    // was ordered, so a failure here fails the job like a failed table.
    if (options().singletransaction &&
        (!send("SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ") ||
         !send("START TRANSACTION /*!40100 WITH CONSISTENT SNAPSHOT */") || !send("UNLOCK TABLES"))) {
        report_object_failure(false);
        if (job_.abortonerror) return 0;
    }
    if (output_.form() == OutputForm::single_file) {
        write_header();
        write_set_block();
        if (!write_database_section(name)) return 0;
    }
    server_.tunnel->set_current_db(name.c_str());
    if (!lock_for_flush()) {
        report_object_failure(false);
        if (job_.abortonerror) return 0;
    }
    if (!send_format("USE `%s`", quoted(name).c_str())) {
        ++errors_;
        return 0;
    }
    int ok = dump_objects_of_database(true);
    for (auto& list : job_.lists) list.clear();
    return ok;
}

// Tables, triggers, events, functions, procedures, views; the first kind that stops ends
// the database.
int DumpWriter::dump_objects_of_database(bool with_tables) {
    bool every = job_.all_objects || job_.all_databases;
    auto all = [&](ObjectKind kind) { return every || job_.all_of_kind[kind]; };
    if (with_tables && (all(kTables) || !job_.lists[kTables].empty())) {
        if (!load_sequences()) return 0;
        if (!(all(kTables) ? table_group() : table_loop(job_.lists[kTables]))) return 0;
    }
    if (!(all(kTriggers) ? object_group(kTriggers) : object_list(kTriggers))) return 0;
    if (!(all(kEvents) ? object_group(kEvents) : object_list(kEvents))) return 0;
    if (!(all(kFunctions) ? object_group(kFunctions) : object_list(kFunctions))) return 0;
    if (!(all(kProcedures) ? object_group(kProcedures) : object_list(kProcedures))) return 0;
    // In the all-databases single file the placeholders came with the tables.
    bool placeholders = with_tables && output_.form() != OutputForm::per_object;
    if (!(all(kViews) ? object_group(kViews, placeholders) : view_list(job_.lists[kViews], placeholders))) return 0;
    return 1;
}

int DumpWriter::list_names(const char* statement, std::vector<std::string>& names) {
    int ok = 0;
    ResultPtr rows = query(statement, ok);
    if (!ok) return 0;
    if (!rows) return 1;
    while (MYSQL_ROW row = server_.tunnel->fetch_row(rows.get()))
        if (row[0]) names.emplace_back(row[0]);
    return 1;
}

// ---------------------------------------------------------------------------------------
// Text sections

void DumpWriter::write_header() {
    output_.buffer().append_format(
        "/*\n%s\nMySQL - %s : Database - %s\n%s\n*/\r\n", banner_text.c_str(),
        sql_comment_text(server_.tunnel->get_server_info(server_.handle)).c_str(),
        sql_comment_text(current_db_).c_str(), "*********************************************************************");
}

void DumpWriter::write_set_block() {
    StrBuf& out = output_.buffer();
    if (!options().usecharset.empty()) out.append_format("\n/*!40101 SET NAMES %s */;\n", effective_charset().c_str());
    out.append("\n/*!40101 SET SQL_MODE=''*/;\n");
    out.append("\n/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0 */;");
    if (options().fkchecks)
        out.append("\n/*!40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */;");
    out.append("\n/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;");
    out.append("\n/*!40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0 */;");
    // The values were read in UTC (connect, select_rows).
    out.append("\n/*!40103 SET @OLD_TIME_ZONE=@@TIME_ZONE */;");
    out.append("\n");
    out.append(kUtcSession);
    out.append(";\n");
}

void DumpWriter::write_footer() {
    StrBuf& out = output_.buffer();
    out.append("\n/*!40103 SET TIME_ZONE=@OLD_TIME_ZONE */;");
    out.append("\n/*!40101 SET SQL_MODE=@OLD_SQL_MODE */;\n");
    if (options().fkchecks) out.append("/*!40014 SET FOREIGN_KEY_CHECKS=@OLD_FOREIGN_KEY_CHECKS */;\n");
    out.append("/*!40014 SET UNIQUE_CHECKS=@OLD_UNIQUE_CHECKS */;\n");
    out.append("/*!40111 SET SQL_NOTES=@OLD_SQL_NOTES */;\n");
}

int DumpWriter::write_database_section(const std::string& name) {
    StrBuf& out = output_.buffer();
    std::string q = quoted(name);
    if (job_.all_databases)
        out.append_format("\n/*Database structure for database `%s` */\n", comment_name(name).c_str());
    if (options().createdb) {
        if (server_at_least_4_1_0(*server_.tunnel, server_.handle)) {
            StrBuf statement;
            statement.format("SHOW CREATE DATABASE `%s`;", q.c_str());
            int ok = 0;
            ResultPtr rows = query(statement.c_str(), ok);
            MYSQL_ROW row = ok && rows ? server_.tunnel->fetch_row(rows.get()) : nullptr;
            if (!ok || !row) {
                if (!ok) report_object_failure(false);
                else ++errors_;
                return 0;
            }
            // The server's text starts with "CREATE DATABASE `name`"; what follows is the
            // character-set clause.
            StrBuf prefix;
            prefix.format("CREATE DATABASE `%s`", q.c_str());
            std::string_view create = row[1] ? std::string_view(row[1]) : std::string_view();
            if (create.size() <= prefix.length()) {
                ++errors_;
                return 0;
            }
            out.append_format("\nCREATE DATABASE /*!32312 IF NOT EXISTS*/`%s`%s;\n", q.c_str(),
                              row[1] + prefix.length());
        } else {
            out.append_format("\nCREATE DATABASE /*!32312 IF NOT EXISTS*/ `%s`;\n", q.c_str());
        }
    }
    if (options().usedb) out.append_format("\nUSE `%s`;\n", q.c_str());
    return 1;
}

// A per-object file, opened for one table or object, with the texts every file starts with.
int DumpWriter::begin_object_file(const std::string& name, bool& file_open_failed) {
    if (output_.form() != OutputForm::per_object) return 1;
    if (!output_.open_for_object(name)) {
        file_open_failed = true;
        return 0;
    }
    if (!output_.displaced_name().empty()) report_displaced_file(current_db_ + "." + name);
    write_header();
    write_set_block();
    return write_database_section(current_db_);
}

// The end of a per-object file's text; each_object finishes the file.
void DumpWriter::end_object_file() {
    if (output_.form() == OutputForm::per_object) write_footer();
}

// Two objects whose files would have the same name (the same table in two databases, a
// table and a routine of one name, "a/b" and "a@002fb"): the later one gets another name.
void DumpWriter::report_displaced_file(const std::string& what) {
    StrBuf text;
    text.format("%s was written earlier in this run: %s goes to %s instead.", output_.displaced_name().c_str(),
                what.c_str(), output_.file_name().c_str());
    print_warning(text);
}

}  // namespace kro::export_
