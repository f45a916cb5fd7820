// The walk over the databases of a dump: the listed ones or all of them, into one file or a
// file each, and the object kinds of each database.
#include <strings.h>

#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/statements.h"
#include "export/dump_writer.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

namespace {

// A LIKE pattern's match: % any text, _ one character, \ takes the next one as it is.
bool like_match(std::string_view text, std::string_view pattern) {
    if (pattern.empty()) return text.empty();
    if (pattern[0] == '%') {
        for (std::size_t skip = 0; skip <= text.size(); ++skip)
            if (like_match(text.substr(skip), pattern.substr(1))) return true;
        return false;
    }
    if (text.empty()) return false;
    if (pattern[0] == '\\' && pattern.size() > 1)
        return text[0] == pattern[1] && like_match(text.substr(1), pattern.substr(2));
    return (pattern[0] == '_' || pattern[0] == text[0]) && like_match(text.substr(1), pattern.substr(1));
}

const char kBinlogPositionError[] =
    "The binary log position for the dump could not be read (it needs the RELOAD and the BINLOG MONITOR or "
    "REPLICATION CLIENT privileges): ";

}  // namespace

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

bool DumpWriter::is_excluded(const std::string& name) const {
    for (const std::string& excluded : job_.excluded_names)
        if (name == excluded) return true;
    for (const std::string& pattern : job_.excluded_patterns)
        if (like_match(name, pattern)) return true;
    return false;
}

// The databases "show databases" lists, without the ones no dump should hold and those the
// job leaves out.
int DumpWriter::list_databases(std::vector<std::string>& names) {
    std::vector<std::string> all;
    if (!list_names("show databases", all)) return 0;
    bool has_schemas = server_at_least_5_0_10(source_.tunnel(), source_.handle());
    for (std::string& name : all) {
        // The server's own schemas: performance_schema holds no data of its own and its
        // tables cannot be created again, so a dump with it would not replay; sys is views
        // and routines over them that the server installs itself, and a backup account
        // may not even run them.
        if (has_schemas && (strcasecmp(name.c_str(), "information_schema") == 0 ||
                            strcasecmp(name.c_str(), "performance_schema") == 0 ||
                            strcasecmp(name.c_str(), "sys") == 0))
            continue;
        if (!job_.include_mysql_db && strcasecmp(name.c_str(), "mysql") == 0) continue;
        if (is_excluded(name)) continue;
        names.push_back(std::move(name));
    }
    return 1;
}

int DumpWriter::dump_all_databases() {
    std::vector<std::string> names;
    if (!list_databases(names)) return 0;
    current_db_ = "(ALL)";
    source_.tunnel().set_current_db(current_db_.c_str());
    if (output_.form() == OutputForm::per_database || output_.form() == OutputForm::per_object)
        return dump_all_databases_per_file(names);
    return dump_all_databases_single_file(names);
}

int DumpWriter::dump_all_databases_single_file(const std::vector<std::string>& names) {
    // One snapshot covers every database in the file: the job asked for one consistent dump,
    // and the file's one header holds the position.
    if ((options().binlogposition || options().singletransaction) && !begin_database_read()) return 0;
    write_header();
    write_set_block();
    for (const std::string& name : names) {
        if (!all_databases_table_pass(name) && (job_.abortonerror || must_stop())) return 0;
    }
    if (server_at_least_5_0_10(source_.tunnel(), source_.handle())) {
        for (const std::string& name : names) {
            output_.buffer().append_format("\nUSE `%s`;\n", quoted(name).c_str());
            current_db_ = name;
            if (!select_database(name.c_str(), source_.handle(), source_.tunnel())) {
                source_.record_connection_error();
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

// Makes a database's own objects the ones the next dump selects.
void DumpWriter::use_selection(const DatabaseSelection& selection) {
    job_.all_objects = selection.all_objects;
    for (int kind = 0; kind < kObjectKinds; ++kind) {
        job_.all_of_kind[kind] = selection.all_of_kind[kind];
        job_.lists[kind] = selection.lists[kind];
    }
}

int DumpWriter::dump_selected_databases() {
    if (output_.form() == OutputForm::per_database) {
        std::vector<std::string> names;
        for (const DatabaseSelection& selection : job_.databases) names.push_back(selection.name);
        return dump_all_databases_per_file(names, &job_.databases);
    }
    return dump_selected_databases_single_file();
}

// Every listed database into the one file, read in one session: with singletransaction
// they come from one snapshot, and the file's one header holds its binary-log position.
int DumpWriter::dump_selected_databases_single_file() {
    if (!begin_database_read()) return 0;
    write_header();
    write_set_block();
    for (const DatabaseSelection& selection : job_.databases) {
        if (must_stop()) return 0;
        use_selection(selection);
        const std::string& name = selection.name;
        current_db_ = name;
        if (!write_database_section(name)) return 0;
        if (!enter_database(name)) return 0;
        if (!source_.send_format("USE `%s`", quoted(name).c_str())) {
            report_object_failure(false);
            if (job_.abortonerror || must_stop()) return 0;
            continue;
        }
        if (!dump_objects_of_database(true) && (job_.abortonerror || must_stop())) return 0;
    }
    write_footer();
    return flush_output();
}

int DumpWriter::dump_all_databases_per_file(const std::vector<std::string>& names,
                                            const std::vector<DatabaseSelection>* selections) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (must_stop()) return 0;
        if (selections) use_selection((*selections)[i]);
        events_(name.c_str(), 0, kDatabaseStarted);
        bool file_open_failed = false;
        if (dump_database(name, &file_open_failed)) {
            events_(name.c_str(), 0, kObjectFinished);
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
    if (!enter_database(name)) return 0;
    if (!select_database(name.c_str(), source_.handle(), source_.tunnel())) {
        source_.record_connection_error();
        report_object_failure(false);
        return 0;
    }
    bool full = server_at_least_5_0_10(source_.tunnel(), source_.handle());
    StrBuf statement;
    statement.format("SHOW %s TABLES FROM `%s`", full ? "FULL" : "", quoted(name).c_str());
    int ok = 0;
    ResultPtr rows = source_.query(statement.c_str(), ok);
    if (!ok || !rows) {
        report_object_failure(false);
        return 0;
    }
    std::vector<std::string> tables, views;
    sequences_.clear();
    while (MYSQL_ROW row = source_.tunnel().fetch_row(rows.get())) {
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
    return view_placeholders(views);
}

// Makes name the database of what follows, under the flush lock when the job asks for one;
// 0 when a refused lock must end the dump.
int DumpWriter::enter_database(const std::string& name) {
    source_.tunnel().set_current_db(name.c_str());
    if (!lock_for_flush()) {
        report_object_failure(false);
        if (job_.abortonerror) return 0;
    }
    return 1;
}

// FLUSH TABLES WITH READ LOCK when the dump must match a binary log position; it holds every
// table, so the per-table read locks are not needed from here on. A snapshot took it, briefly,
// before it began.
int DumpWriter::lock_for_flush() {
    if ((!options().flushslave && !options().flushmaster) || options().singletransaction) return 1;
    if (!source_.send("FLUSH TABLES WITH READ LOCK")) return 0;
    job_.options.locktableread = 0;
    return 1;
}

int DumpWriter::dump_database(const std::string& name, bool* file_open_failed) {
    current_db_ = name;
    const unsigned errors_before = errors_;
    const bool own_file = output_.form() == OutputForm::per_database;
    // The header of a file of its own holds the position, so the reading starts before it.
    const bool read_first = own_file && options().binlogposition;
    if (read_first && !begin_database_read()) return 0;
    if (own_file) {
        if (!output_.open_for_database(name)) {
            if (file_open_failed) *file_open_failed = true;
            source_.record_error(kObjectFileOpenError);
            return 0;
        }
        if (!output_.displaced_name().empty()) report_displaced_file(name);
        write_header();
        write_set_block();
    }
    int ok = dump_database_content(name, !read_first);
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
// read in (unless begun already), and its objects.
int DumpWriter::dump_database_content(const std::string& name, bool begin_reading) {
    if (output_.form() == OutputForm::per_database && !write_database_section(name)) return 0;
    if (begin_reading && !begin_database_read()) return 0;
    if (output_.form() == OutputForm::single_file) {
        write_header();
        write_set_block();
        if (!write_database_section(name)) return 0;
    }
    if (!enter_database(name)) return 0;
    if (!source_.send_format("USE `%s`", quoted(name).c_str())) {
        ++errors_;
        return 0;
    }
    int ok = dump_objects_of_database(true);
    for (auto& list : job_.lists) list.clear();
    return ok;
}

int DumpWriter::begin_database_read() {
    set_names_on_connection();
    binlog_position_.reset();
    bool with_position = false;
    if (options().binlogposition && !binary_logging_on(source_, with_position)) return report_position_failure();
    if (!options().singletransaction) {
        // Without a snapshot the position is where the reading began.
        return !with_position || read_position() ? 1 : report_position_failure();
    }
    const int snapshot = start_snapshot(with_position);
    if (snapshot < 0) return report_position_failure();
    // The consistency the job asks for is part of the dump: without it the dump is not what
    // was ordered, so a failure here fails the job like a failed table.
    if (snapshot == 0) {
        report_object_failure(false);
        if (job_.abortonerror) return 0;
    }
    return 1;
}

// A brief global read lock holds back commits while the logs are flushed, the snapshot starts
// and the position is read, so that the position and the new log begin exactly where the
// snapshot's data ends. Over the HTTP tunnel each request is a session of its own: a lock
// would end with its request.
int DumpWriter::start_snapshot(bool with_position) {
    const bool lock = (with_position || options().flushslave || options().flushmaster) && !source_.tunnel().is_http();
    if (lock && !source_.send("FLUSH TABLES WITH READ LOCK")) return with_position ? -1 : 0;
    if (!flush_before_snapshot()) {
        if (lock) source_.send("UNLOCK TABLES");
        return 0;
    }
    if (!source_.send("SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ") ||
        !source_.send("START TRANSACTION /*!40100 WITH CONSISTENT SNAPSHOT */")) {
        if (lock) source_.send("UNLOCK TABLES");
        return 0;
    }
    const bool have_position = !with_position || read_position();
    // This also ends the lock taken for the position.
    if (!source_.send("UNLOCK TABLES") && have_position) return 0;
    return have_position ? 1 : -1;
}

int DumpWriter::flush_before_snapshot() {
    if (options().flushlogs && !source_.send("flush logs")) return 0;
    if (options().flushmaster && !source_.send("FLUSH MASTER")) return 0;
    return 1;
}

int DumpWriter::read_position() {
    BinlogPosition position;
    if (!read_binlog_position(source_, position)) return 0;
    binlog_position_ = std::move(position);
    return 1;
}

// The job asked for the position: a dump without it is not what was ordered.
int DumpWriter::report_position_failure() {
    if (!source_.cancelled()) {
        StrBuf text;
        text.format("%s%s", kBinlogPositionError, source_.error_text().c_str());
        source_.record_error(text.c_str());
    }
    report_object_failure(false);
    return 0;
}

// Tables (each with its triggers), the other triggers, events, functions, procedures,
// packages, views; the first kind that stops ends the database.
int DumpWriter::dump_objects_of_database(bool with_tables) {
    auto all = [this](ObjectKind kind) { return wants_all(kind); };
    if (with_tables && (all(kTables) || !job_.lists[kTables].empty())) {
        if (!load_sequences()) return 0;
        if (!(all(kTables) ? table_group() : table_loop(job_.lists[kTables]))) return 0;
    }
    if (!(all(kTriggers) ? object_group(kTriggers) : object_list(kTriggers))) return 0;
    if (!(all(kEvents) ? object_group(kEvents) : object_list(kEvents))) return 0;
    if (!(all(kFunctions) ? object_group(kFunctions) : object_list(kFunctions))) return 0;
    if (!(all(kProcedures) ? object_group(kProcedures) : object_list(kProcedures))) return 0;
    if (!(all(kPackages) ? object_group(kPackages) : object_list(kPackages))) return 0;
    // In the all-databases single file the placeholders came with the tables.
    bool placeholders = with_tables && output_.form() != OutputForm::per_object;
    if (!(all(kViews) ? object_group(kViews, placeholders) : view_list(job_.lists[kViews], placeholders))) return 0;
    return 1;
}

int DumpWriter::list_names(const char* statement, std::vector<std::string>& names) {
    int ok = 0;
    ResultPtr rows = source_.query(statement, ok);
    if (!ok) return 0;
    if (!rows) return 1;
    while (MYSQL_ROW row = source_.tunnel().fetch_row(rows.get()))
        if (row[0]) names.emplace_back(row[0]);
    return 1;
}

}  // namespace kro::export_
