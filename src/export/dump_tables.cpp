// Tables: the loops over a database's tables and sequences, each table's frame (file,
// locks, commit) and structure; its rows are a TableDump's.
#include <algorithm>

#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "export/dump_writer.h"
#include "export/table_dump.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

// The sequences of the current database (MariaDB): they are dumped before the tables, whose
// defaults may draw on them.
int DumpWriter::load_sequences() {
    sequences_.clear();
    if (!server_at_least_5_0_10(source_.tunnel(), source_.handle())) return 1;
    StrBuf statement;
    statement.format("show full tables from `%s` where table_type = 'SEQUENCE'", quoted(current_db_).c_str());
    std::vector<std::string> names;
    if (!list_names(statement.c_str(), names)) {
        report_object_failure(false);
        return 0;
    }
    sequences_.insert(names.begin(), names.end());
    return 1;
}

void DumpWriter::sequences_first(std::vector<std::string>& names) const {
    std::stable_partition(names.begin(), names.end(),
                          [this](const std::string& name) { return sequences_.count(name) != 0; });
}

int DumpWriter::table_group() {
    StrBuf statement;
    list_tables_statement(source_.tunnel(), source_.handle(), current_db_.c_str(), statement);
    std::vector<std::string> names(sequences_.begin(), sequences_.end());
    if (!list_names(statement.c_str(), names)) {
        report_object_failure(false);
        return 0;
    }
    events_("tables", 0, kGroupStarted);
    return table_loop(names);
}

// Each table, and after it the triggers on it that the dump holds (a table that failed
// leaves its triggers to the trigger pass).
int DumpWriter::table_loop(const std::vector<std::string>& names) {
    events_(current_db_.c_str(), static_cast<long>(names.size()), kObjectCount);
    std::vector<std::string> ordered = names;
    sequences_first(ordered);
    load_table_triggers();
    auto dump_one = [this](const std::string& name, bool& file_open_failed) { return dump_table(name, file_open_failed); };
    for (const std::string& name : ordered) {
        const unsigned errors_before = errors_;
        if (!each_object({name}, dump_one, true)) return 0;
        if (errors_ == errors_before && !table_triggers(name)) return 0;
    }
    return 1;
}

int DumpWriter::dump_table(const std::string& name, bool& file_open_failed) {
    if (!begin_object_file(name, file_open_failed)) return 0;
    events_(name.c_str(), 0, kTableStarted);
    if (flushes_per_object() && options().flushlogs && !source_.send("flush logs")) return 0;
    bool locked = false;
    if (options().locktableread && !options().singletransaction) {
        if (!source_.send_format("LOCK TABLES `%s` READ", quoted(name).c_str())) return 0;
        locked = true;
    }
    int ok = 0;
    if (sequences_.count(name)) {
        ok = write_sequence(name);
    } else {
        bool is_view = false;
        ok = write_table_structure(name, is_view);
        if (ok && !options().structureonly && !is_view) ok = write_table_data(name);
    }
    // The lock goes whatever happened, or every later table would fail too.
    if (locked && !source_.send("UNLOCK TABLES")) ok = 0;
    // Rows written before a failure are committed too when the dump is replayed.
    if (options().autocommit && commit_pending_) output_.buffer().append("\nCOMMIT;\n");
    if (!ok) return 0;
    if (flushes_per_object() && options().flushmaster && !source_.send("FLUSH MASTER")) return 0;
    end_object_file();
    return 1;
}

int DumpWriter::write_table_structure(const std::string& name, bool& is_view) {
    const bool http = source_.tunnel().is_http();
    if (http) source_.send("set sql_mode=''");
    std::string table = quoted(name);
    MYSQL_ROW row = nullptr;
    ResultPtr result = source_.show_create(current_db_, name, row);
    if (!row) return 0;
    MYSQL_FIELD* first = source_.tunnel().fetch_field_direct(result.get(), 0);
    is_view = first && first->name && std::string_view(first->name) == "View";
    if (is_view && !options().createview) return 1;

    StrBuf& out = output_.buffer();
    out.append_format("\n/*Table structure for table `%s` */\n", comment_name(name).c_str());
    if (options().dropobjects && (!is_view || !http)) out.append_format("\nDROP TABLE IF EXISTS `%s`;\n", table.c_str());
    if (!is_view) {
        out.append("\n");
        out.append(row[1] ? row[1] : "");
        out.append(";\n");
        return 1;
    }
    result.reset();
    return write_view_placeholder(name, false);
}

// A sequence: its definition and the value it goes on from. The value is part of what the
// sequence is, so it is written with structure-only dumps too.
int DumpWriter::write_sequence(const std::string& name) {
    const std::string q = quoted(name);
    const std::string table = "`" + quoted(current_db_) + "`.`" + q + "`";
    int ok = 0;
    ResultPtr definition = source_.query(("show create sequence " + table).c_str(), ok);
    MYSQL_ROW row = ok && definition ? source_.tunnel().fetch_row(definition.get()) : nullptr;
    if (!row || !row[1]) {
        if (ok) source_.record_error("");
        return 0;
    }
    StrBuf& out = output_.buffer();
    out.append_format("\n/*Sequence structure for sequence `%s` */\n", comment_name(name).c_str());
    if (options().dropobjects) out.append_format("\nDROP SEQUENCE IF EXISTS `%s`;\n", q.c_str());
    out.append_format("\n%s;\n", row[1]);
    definition.reset();

    ResultPtr value = source_.query(("select next_not_cached_value from " + table).c_str(), ok);
    row = ok && value ? source_.tunnel().fetch_row(value.get()) : nullptr;
    if (!row || !row[0]) {
        if (ok) source_.record_error("");
        return 0;
    }
    out.append_format("\nDO SETVAL(`%s`, %s, 0);\n", q.c_str(), row[0]);
    return 1;
}

// The table's rows, by an object of their own; the run keeps only whether a transaction
// was opened and the warning to show.
int DumpWriter::write_table_data(const std::string& name) {
    TableDump data(source_, output_, {options(), page_size_, packet_limit_kb_, max_packet_bytes_}, events_,
                   current_db_, name);
    int ok = data.write();
    if (data.opened_transaction()) commit_pending_ = true;
    if (!ok && output_.failed()) note_output_failure();
    pending_warning_.copy_from(data.warning());
    return ok;
}

}  // namespace kro::export_
