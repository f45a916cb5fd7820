// Tables: the loops over a database's tables and sequences, each table's structure and its
// data, read unbuffered page by page and written as INSERT statements.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "connection/column_definition.h"
#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "export/dump_writer.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

// The sequences of the current database (MariaDB): they are dumped before the tables, whose
// defaults may draw on them.
int DumpWriter::load_sequences() {
    sequences_.clear();
    if (!server_at_least_5_0_10(*server_.tunnel, server_.handle)) return 1;
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
    list_tables_statement(*server_.tunnel, server_.handle, current_db_.c_str(), statement);
    std::vector<std::string> names(sequences_.begin(), sequences_.end());
    if (!list_names(statement.c_str(), names)) {
        report_object_failure(false);
        return 0;
    }
    event("tables", 0, kGroupStarted);
    return table_loop(names);
}

int DumpWriter::table_loop(const std::vector<std::string>& names) {
    event(current_db_.c_str(), static_cast<long>(names.size()), kObjectCount);
    std::vector<std::string> ordered = names;
    sequences_first(ordered);
    return each_object(
        ordered, [this](const std::string& name, bool& file_open_failed) { return dump_table(name, file_open_failed); },
        true);
}

int DumpWriter::dump_table(const std::string& name, bool& file_open_failed) {
    if (!begin_object_file(name, file_open_failed)) return 0;
    event(name.c_str(), 0, kTableStarted);
    if (options().flushlogs && !send("flush logs")) return 0;
    bool locked = false;
    if (options().locktableread && !options().singletransaction) {
        if (!send_format("LOCK TABLES `%s` READ", quoted(name).c_str())) return 0;
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
    if (locked && !send("UNLOCK TABLES")) ok = 0;
    // Rows written before a failure are committed too when the dump is replayed.
    if (options().autocommit && commit_pending_) output_.buffer().append("\nCOMMIT;\n");
    if (!ok) return 0;
    if (options().flushmaster && !send("FLUSH MASTER")) return 0;
    end_object_file();
    return 1;
}

int DumpWriter::write_table_structure(const std::string& name, bool& is_view) {
    const bool http = server_.tunnel->is_http();
    if (http) send("set sql_mode=''");
    std::string table = quoted(name);
    MYSQL_ROW row = nullptr;
    ResultPtr result = show_create(name, row);
    if (!row) return 0;
    MYSQL_FIELD* first = server_.tunnel->fetch_field_direct(result.get(), 0);
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
    ResultPtr definition = query(("show create sequence " + table).c_str(), ok);
    MYSQL_ROW row = ok && definition ? server_.tunnel->fetch_row(definition.get()) : nullptr;
    if (!row || !row[1]) {
        if (ok) record_error("");
        return 0;
    }
    StrBuf& out = output_.buffer();
    out.append_format("\n/*Sequence structure for sequence `%s` */\n", comment_name(name).c_str());
    if (options().dropobjects) out.append_format("\nDROP SEQUENCE IF EXISTS `%s`;\n", q.c_str());
    out.append_format("\n%s;\n", row[1]);
    definition.reset();

    ResultPtr value = query(("select next_not_cached_value from " + table).c_str(), ok);
    row = ok && value ? server_.tunnel->fetch_row(value.get()) : nullptr;
    if (!row || !row[0]) {
        if (ok) record_error("");
        return 0;
    }
    out.append_format("\nDO SETVAL(`%s`, %s, 0);\n", q.c_str(), row[0]);
    return 1;
}

// The columns the rows are read with, and the key that pages follow: the primary key, else
// the first unique key over NOT NULL columns, when the values of its columns can be written
// back into a WHERE clause exactly.
int DumpWriter::plan_table(const std::string& name, TablePlan& plan) {
    const std::string table = "`" + quoted(current_db_) + "`.`" + quoted(name) + "`";
    int ok = 0;
    // SELECT * leaves INVISIBLE columns out: a table that has any is read by column names,
    // and its INSERTs name them. Generated columns cannot be inserted and are left out then.
    std::vector<ColumnDefinition> columns;
    bool invisible = false;
    ResultPtr rows = query(("show columns from " + table).c_str(), ok);
    if (!ok) return 0;
    for (ColumnDefinition& column : parse_columns(*server_.tunnel, rows.get())) {
        if (column.name.empty() || column.generated != Generated::none) continue;
        invisible = invisible || column.invisible;
        columns.push_back(std::move(column));
    }
    rows.reset();
    if (invisible) {
        plan.select_list.clear();
        for (const ColumnDefinition& column : columns)
            plan.select_list += (plan.select_list.empty() ? "`" : ",`") + quoted(column.name) + "`";
        plan.column_list = true;
    }

    ResultPtr keys = query(("show keys from " + table).c_str(), ok);
    if (!ok) return 0;
    // Key name, then its columns in order, each with the literal its values take (none
    // when the key cannot page).
    std::vector<std::pair<std::string, std::vector<KeyColumn>>> candidates;
    const bool described = keys && server_.tunnel->num_fields(keys.get()) >= 10;
    while (MYSQL_ROW row = keys ? server_.tunnel->fetch_row(keys.get()) : nullptr) {
        if (!row[2]) continue;
        const std::string column = row[4] ? row[4] : "";  // none: a part that is an expression
        if (strcasecmp(row[2], "primary") == 0 && row[4])
            plan.primary_order += (plan.primary_order.empty() ? "`" : ",`") + quoted(column) + "`";
        if (candidates.empty() || candidates.back().first != row[2]) candidates.push_back({row[2], {}});
        // Non_unique, Sub_part, Null: no duplicates, whole columns, none of them NULL.
        const bool whole_unique =
            described && row[4] && row[1] && std::string_view(row[1]) == "0" && !row[7] && (!row[9] || !*row[9]);
        auto at = std::find_if(columns.begin(), columns.end(), [&](const ColumnDefinition& c) { return c.name == column; });
        KeyLiteral literal = whole_unique && at != columns.end() ? key_literal_for(*at) : KeyLiteral::none;
        candidates.back().second.push_back({column, literal});
    }
    for (const auto& [key_name, key] : candidates) {
        if (!std::all_of(key.begin(), key.end(), [](const KeyColumn& c) { return c.literal != KeyLiteral::none; }))
            continue;
        if (strcasecmp(key_name.c_str(), "primary") == 0) {
            plan.key = key;
            break;
        }
        if (plan.key.empty()) plan.key = key;
    }
    return 1;
}

int DumpWriter::write_table_data(const std::string& name) {
    StrBuf engine;
    std::uint64_t estimate = 0;
    if (table_engine(*server_.tunnel, server_.handle, current_db_.c_str(), name.c_str(), engine, &estimate) &&
        (engine.compare_nocase("MRG_MyISAM") == 0 || engine.compare_nocase("FEDERATED") == 0))
        return 1;  // their rows live elsewhere

    const std::string table = quoted(name);
    const bool http = server_.tunnel->is_http();
    // The row total only decides the paging: counting is a full scan of the table, so it
    // is skipped when the rows come in one piece anyway (the total is then told after
    // the rows).
    const bool may_page = page_size_ > 0 && (http || options().chunkinsert);
    long total = 0;
    if (may_page) {
        total = static_cast<long>(count_rows(*server_.tunnel, server_.handle, current_db_.c_str(), name.c_str()));
        event(name.c_str(), total, kRowTotal);
    } else {
        event(name.c_str(), static_cast<long>(estimate), kRowEstimate);
    }
    TablePlan plan;
    if (!plan_table(name, plan)) return 0;
    const bool paged = may_page && page_size_ < total;
    StrBuf& out = output_.buffer();
    out.append_format("\n/*Data for the table `%s` */\n", comment_name(name).c_str());
    if (options().disablekeys) out.append_format("\n/*!40000 ALTER TABLE `%s` DISABLE KEYS */;\n", table.c_str());
    if (options().locktablewrite) out.append_format("\nLOCK TABLES `%s` WRITE;\n", table.c_str());
    if (options().autocommit) {
        out.append("\nset autocommit=0;\n");
        commit_pending_ = true;
    }
    inserts_.begin_table(table, options().insertdelayed ? "DELAYED " : "", plan.column_list);
    result_columns_.clear();

    long rows_seen = 0;
    int ok = 0;
    if (paged && !plan.key.empty()) {
        ok = read_key_pages(name, plan, rows_seen);
    } else if (paged) {
        ok = read_offset_pages(name, plan, total, rows_seen);
    } else {
        StrBuf statement;
        statement.format("select %s from `%s`.`%s`", plan.select_list.c_str(), quoted(current_db_).c_str(),
                         table.c_str());
        ok = read_rows(statement.c_str(), name, rows_seen, nullptr);
    }
    if (ok && !may_page) event(name.c_str(), rows_seen, kRowTotal);
    // Also after a failure: the open statement and the lock are closed, so that the rest of
    // the dump still replays.
    inserts_.end_table(out);
    if (options().locktablewrite) out.append_format("\n%s;\n", "UNLOCK TABLES");
    if (options().disablekeys) out.append_format("\n/*!40000 ALTER TABLE  `%s` ENABLE KEYS */;\n", table.c_str());
    if (ok && max_packet_bytes_ > 0 && inserts_.longest_row_statement() >= max_packet_bytes_) {
        const std::size_t needed = inserts_.longest_row_statement() + 1;
        pending_warning_.format(
            "Warning: a row of table `%s`.`%s` needs an INSERT statement of %zu bytes, more than the server's "
            "max_allowed_packet of %lu bytes. The dump replays only where max_allowed_packet (of the server and "
            "of the client, --max-allowed-packet) is at least %zu bytes.",
            current_db_.c_str(), name.c_str(), needed - 1, max_packet_bytes_, needed);
    }
    return ok;
}

// Pages along the key: each starts after the last key of the page before, until a page
// comes back short.
int DumpWriter::read_key_pages(const std::string& name, const TablePlan& plan, long& rows_seen) {
    const std::string order = key_order(plan.key);
    KeyCapture capture;
    capture.key = &plan.key;
    std::vector<std::string> last;
    StrBuf statement;
    for (;;) {
        statement.format("select %s from `%s`.`%s`", plan.select_list.c_str(), quoted(current_db_).c_str(),
                         quoted(name).c_str());
        if (!last.empty()) append_after_key(statement, plan.key, last);
        statement.append_format(" order by %s limit %ld", order.c_str(), page_size_);
        const long before = rows_seen;
        if (!read_rows(statement.c_str(), name, rows_seen, &capture)) return 0;
        if (rows_seen - before < page_size_) return 1;
        std::vector<std::string> next;
        for (std::size_t i = 0; i < plan.key.size(); ++i) {
            next.push_back(key_value_literal(plan.key[i].literal, capture.values[i], escape_with_connection, &server_));
            if (next.back().empty()) {
                record_error("A key value could not be escaped for the connection's character set.");
                return 0;
            }
        }
        // A unique key always moves on; should it not, the same page would come forever.
        if (next == last) {
            record_error("The table's key did not advance from one page to the next.");
            return 0;
        }
        last = std::move(next);
    }
}

// Pages by offset, for tables without a key to page along; in primary-key order when the
// table has one.
int DumpWriter::read_offset_pages(const std::string& name, const TablePlan& plan, long total, long& rows_seen) {
    StrBuf statement;
    for (long offset = 0; offset < total; offset += page_size_) {
        statement.format("select %s from `%s`.`%s`", plan.select_list.c_str(), quoted(current_db_).c_str(),
                         quoted(name).c_str());
        if (!plan.primary_order.empty()) statement.append_format(" order by %s ", plan.primary_order.c_str());
        statement.append_format("limit %ld,%ld ", offset, page_size_);
        if (!read_rows(statement.c_str(), name, rows_seen, nullptr)) return 0;
    }
    return 1;
}

// Sends a SELECT of rows. Over the HTTP tunnel each request is a session of its own, so the
// time zone the rows are read in goes with every page.
ResultPtr DumpWriter::select_rows(const char* statement) {
    Tunnel& tunnel = *server_.tunnel;
    if (!tunnel.is_http()) return query_result(tunnel, server_.handle, statement);
    std::string text = std::string(kUtcSession) + ";" + statement;
    ResultPtr none = query_result(tunnel, server_.handle, text.c_str());
    if (statement_failed(tunnel, server_.handle)) return none;
    none.reset();
    if (tunnel.next_result(server_.handle) != 0) return make_result(tunnel, nullptr);
    return make_result(tunnel, tunnel.use_result(server_.handle));
}

// One page of rows, streamed from the server straight into INSERT text.
int DumpWriter::read_rows(const char* statement, const std::string& table, long& rows_seen, KeyCapture* capture) {
    if (cancelled()) {
        record_error("The export was cancelled.");
        return 0;
    }
    Tunnel& tunnel = *server_.tunnel;
    ResultPtr rows = select_rows(statement);
    if (!rows) {
        record_connection_error();
        if (error_text_.empty()) record_error("The server sent no rows for the table.");
        return 0;
    }
    const unsigned count = tunnel.num_fields(rows.get());
    MYSQL_FIELD* fields = tunnel.fetch_fields(rows.get());
    if (!inserts_.has_columns()) {
        std::string columns;
        for (unsigned i = 0; i < count; ++i) {
            if (i > 0) columns += ",";
            columns += "`" + quoted(fields[i].name) + "`";
            result_columns_.emplace_back(fields[i].name);
        }
        inserts_.set_columns(columns, fields, count);
    }
    // A table altered between two pages: its rows no longer fit the statements begun.
    bool same = count == result_columns_.size();
    for (unsigned i = 0; same && i < count; ++i) same = result_columns_[i] == fields[i].name;
    if (!same) {
        StrBuf text;
        text.format("The columns of table `%s`.`%s` changed while it was dumped; dump it again.", current_db_.c_str(),
                    table.c_str());
        record_error(text.c_str());
        return 0;
    }
    if (capture && capture->positions.empty()) {
        for (const KeyColumn& column : *capture->key) {
            auto at = std::find(result_columns_.begin(), result_columns_.end(), column.name);
            if (at == result_columns_.end()) {
                record_error("A key column is missing from the table's rows.");
                return 0;
            }
            capture->positions.push_back(static_cast<int>(at - result_columns_.begin()));
        }
        capture->values.resize(capture->positions.size());
    }
    StrBuf& out = output_.buffer();
    while (MYSQL_ROW row = tunnel.fetch_row(rows.get())) {
        unsigned long* lengths = tunnel.fetch_lengths(rows.get());
        if (!inserts_.add_row(out, row, lengths, count, escape_with_connection, &server_)) {
            record_error("A value could not be escaped for the connection's character set.");
            return 0;
        }
        if (capture) {
            for (std::size_t i = 0; i < capture->positions.size(); ++i) {
                int at = capture->positions[i];
                capture->values[i].assign(row[at] ? row[at] : "", row[at] ? lengths[at] : 0);
            }
        }
        if (++rows_seen % 100 == 0) event(nullptr, rows_seen, kRowProgress);
        if (!output_.flush_if_full()) {
            note_output_failure();
            return 0;
        }
    }
    // No more rows, or the connection broke off in the middle of the table.
    if (tunnel.error_number(server_.handle) != 0) {
        record_connection_error();
        return 0;
    }
    return 1;
}

}  // namespace kro::export_
