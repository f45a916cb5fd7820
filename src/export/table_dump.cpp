#include "export/table_dump.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <strings.h>

#include "connection/column_definition.h"
#include "connection/helper_queries.h"
#include "connection/statements.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

TableDump::TableDump(DumpConnection& source, DumpOutput& output, const TableDumpSettings& settings,
                     DumpEvents events, const std::string& database, const std::string& name)
    : source_(source),
      output_(output),
      settings_(settings),
      events_(events),
      database_(database),
      name_(name),
      table_(quoted(name)) {
    const ExportOptions& o = settings_.options;
    inserts_.set_bulk(o.bulkinsert);
    inserts_.set_complete(o.completeinsert);
    inserts_.set_limits(settings_.packet_limit_kb, o.bulksize);
}

// The columns the rows are read with, and the key that pages follow: the primary key, else
// the first unique key over NOT NULL columns, when the values of its columns can be written
// back into a WHERE clause exactly.
int TableDump::plan() {
    const std::string table = "`" + quoted(database_) + "`.`" + table_ + "`";
    int ok = 0;
    // SELECT * leaves INVISIBLE columns out: a table that has any is read by column names,
    // and its INSERTs name them. Generated columns cannot be inserted and are left out then.
    std::vector<ColumnDefinition> columns;
    bool invisible = false;
    ResultPtr rows = source_.query(("show columns from " + table).c_str(), ok);
    if (!ok) return 0;
    for (ColumnDefinition& column : parse_columns(source_.tunnel(), rows.get())) {
        if (column.name.empty() || column.generated != Generated::none) continue;
        invisible = invisible || column.invisible;
        columns.push_back(std::move(column));
    }
    rows.reset();
    if (invisible) {
        select_list_.clear();
        for (const ColumnDefinition& column : columns)
            select_list_ += (select_list_.empty() ? "`" : ",`") + quoted(column.name) + "`";
        column_list_ = true;
    }

    ResultPtr keys = source_.query(("show keys from " + table).c_str(), ok);
    if (!ok) return 0;
    // Key name, then its columns in order, each with the literal its values take (none
    // when the key cannot page).
    std::vector<std::pair<std::string, std::vector<KeyColumn>>> candidates;
    const bool described = keys && source_.tunnel().num_fields(keys.get()) >= 10;
    while (MYSQL_ROW row = keys ? source_.tunnel().fetch_row(keys.get()) : nullptr) {
        if (!row[2]) continue;
        const std::string column = row[4] ? row[4] : "";  // none: a part that is an expression
        if (strcasecmp(row[2], "primary") == 0 && row[4])
            primary_order_ += (primary_order_.empty() ? "`" : ",`") + quoted(column) + "`";
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
            key_ = key;
            break;
        }
        if (key_.empty()) key_ = key;
    }
    return 1;
}

int TableDump::write() {
    const ExportOptions& options = settings_.options;
    const long page_size = settings_.page_size;
    Tunnel& tunnel = source_.tunnel();
    StrBuf engine;
    std::uint64_t estimate = 0;
    if (table_engine(tunnel, source_.handle(), database_.c_str(), name_.c_str(), engine, &estimate) &&
        (engine.compare_nocase("MRG_MyISAM") == 0 || engine.compare_nocase("FEDERATED") == 0))
        return 1;  // their rows live elsewhere

    // The row total only decides the paging: counting is a full scan of the table, so it
    // is skipped when the rows come in one piece anyway (the total is then told after
    // the rows).
    const bool may_page = page_size > 0;
    long total = 0;
    if (may_page) {
        total = static_cast<long>(count_rows(tunnel, source_.handle(), database_.c_str(), name_.c_str()));
        events_(name_.c_str(), total, kRowTotal);
    } else {
        events_(name_.c_str(), static_cast<long>(estimate), kRowEstimate);
    }
    if (!plan()) return 0;
    const bool paged = may_page && page_size < total;
    StrBuf& out = output_.buffer();
    out.append_format("\n/*Data for the table `%s` */\n", comment_name(name_).c_str());
    if (options.disablekeys) out.append_format("\n/*!40000 ALTER TABLE `%s` DISABLE KEYS */;\n", table_.c_str());
    if (options.locktablewrite) out.append_format("\nLOCK TABLES `%s` WRITE;\n", table_.c_str());
    if (options.autocommit) {
        out.append("\nset autocommit=0;\n");
        opened_transaction_ = true;
    }
    inserts_.begin_table(table_, options.insertdelayed ? "DELAYED " : "", column_list_);

    int ok = 0;
    if (paged && !key_.empty()) {
        ok = read_key_pages();
    } else if (paged) {
        ok = read_offset_pages(total);
    } else {
        StrBuf statement;
        start_select(statement);
        ok = read_rows(statement.c_str(), false);
    }
    if (ok && !may_page) events_(name_.c_str(), rows_seen_, kRowTotal);
    // Also after a failure: the open statement and the lock are closed, so that the rest of
    // the dump still replays.
    inserts_.end_table(out);
    if (options.locktablewrite) out.append_format("\n%s;\n", "UNLOCK TABLES");
    if (options.disablekeys) out.append_format("\n/*!40000 ALTER TABLE  `%s` ENABLE KEYS */;\n", table_.c_str());
    const unsigned long max_packet = settings_.max_packet_bytes;
    if (ok && max_packet > 0 && inserts_.longest_row_statement() >= max_packet) {
        const std::size_t needed = inserts_.longest_row_statement() + 1;
        warning_.format(
            "Warning: a row of table `%s`.`%s` needs an INSERT statement of %zu bytes, more than the server's "
            "max_allowed_packet of %lu bytes. The dump replays only where max_allowed_packet (of the server and "
            "of the client, --max-allowed-packet) is at least %zu bytes.",
            database_.c_str(), name_.c_str(), needed - 1, max_packet, needed);
    }
    return ok;
}

// "select <columns> from `db`.`table`", the start of every page's statement.
void TableDump::start_select(StrBuf& statement) const {
    statement.format("select %s from `%s`.`%s`", select_list_.c_str(), quoted(database_).c_str(), table_.c_str());
}

// Pages along the key: each starts after the last key of the page before, until a page
// comes back short.
// Over the HTTP tunnel the script may take pages larger than the first; a chunklimit the
// job asks for stays the most.
long TableDump::next_page_size(long last_rows) const {
    Tunnel& tunnel = source_.tunnel();
    if (!tunnel.is_http()) return settings_.page_size;
    const ExportOptions& options = settings_.options;
    long rows = tunnel.next_page_rows(source_.handle(), last_rows);
    if (options.chunkinsert && options.chunklimit >= 1) rows = std::min<long>(rows, options.chunklimit);
    return rows;
}

int TableDump::read_key_pages() {
    const std::string order = key_order(key_);
    std::vector<std::string> after;
    StrBuf statement;
    long page_size = 0;
    for (;;) {
        page_size = next_page_size(page_size);
        start_select(statement);
        if (!after.empty()) append_after_key(statement, key_, after);
        statement.append_format(" order by %s limit %ld", order.c_str(), page_size);
        const long before = rows_seen_;
        if (!read_rows(statement.c_str(), true)) return 0;
        if (rows_seen_ - before < page_size) return 1;
        std::vector<std::string> next;
        for (std::size_t i = 0; i < key_.size(); ++i) {
            next.push_back(key_value_literal(key_[i].literal, last_key_[i], escape_with_connection, &source_.server()));
            if (next.back().empty()) {
                source_.record_error("A key value could not be escaped for the connection's character set.");
                return 0;
            }
        }
        // A unique key always moves on; should it not, the same page would come forever.
        if (next == after) {
            source_.record_error("The table's key did not advance from one page to the next.");
            return 0;
        }
        after = std::move(next);
    }
}

// Pages by offset, for tables without a key to page along; in primary-key order when the
// table has one.
int TableDump::read_offset_pages(long total) {
    StrBuf statement;
    long page_size = 0;
    for (long offset = 0; offset < total; offset += page_size) {
        page_size = next_page_size(page_size);
        start_select(statement);
        if (!primary_order_.empty()) statement.append_format(" order by %s ", primary_order_.c_str());
        statement.append_format("limit %ld,%ld ", offset, page_size);
        if (!read_rows(statement.c_str(), false)) return 0;
    }
    return 1;
}

// The result's columns: taken from the first page, and every later page must have the same.
int TableDump::take_columns(MYSQL_FIELD* fields, unsigned count) {
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
        text.format("The columns of table `%s`.`%s` changed while it was dumped; dump it again.", database_.c_str(),
                    name_.c_str());
        source_.record_error(text.c_str());
        return 0;
    }
    return 1;
}

// One page of rows, streamed from the server straight into INSERT text.
int TableDump::read_rows(const char* statement, bool capture_key) {
    if (source_.cancelled()) {
        source_.record_error("The export was cancelled.");
        return 0;
    }
    Tunnel& tunnel = source_.tunnel();
    ResultPtr rows = source_.select_rows(statement);
    if (!rows) {
        source_.record_connection_error();
        if (source_.error_text().empty()) source_.record_error("The server sent no rows for the table.");
        return 0;
    }
    const unsigned count = tunnel.num_fields(rows.get());
    if (!take_columns(tunnel.fetch_fields(rows.get()), count)) return 0;
    if (capture_key && key_positions_.empty()) {
        for (const KeyColumn& column : key_) {
            auto at = std::find(result_columns_.begin(), result_columns_.end(), column.name);
            if (at == result_columns_.end()) {
                source_.record_error("A key column is missing from the table's rows.");
                return 0;
            }
            key_positions_.push_back(static_cast<int>(at - result_columns_.begin()));
        }
        last_key_.resize(key_positions_.size());
    }
    StrBuf& out = output_.buffer();
    while (MYSQL_ROW row = tunnel.fetch_row(rows.get())) {
        unsigned long* lengths = tunnel.fetch_lengths(rows.get());
        if (!inserts_.add_row(out, row, lengths, count, escape_with_connection, &source_.server())) {
            source_.record_error("A value could not be escaped for the connection's character set.");
            return 0;
        }
        if (capture_key) {
            for (std::size_t i = 0; i < key_positions_.size(); ++i) {
                int at = key_positions_[i];
                last_key_[i].assign(row[at] ? row[at] : "", row[at] ? lengths[at] : 0);
            }
        }
        output_.count_row();
        if (++rows_seen_ % 100 == 0) events_(nullptr, rows_seen_, kRowProgress);
        if (!output_.flush_if_full()) return 0;  // the output keeps and reports the failure
    }
    // No more rows, or the connection broke off in the middle of the table.
    if (tunnel.error_number(source_.handle()) != 0) {
        source_.record_connection_error();
        return 0;
    }
    return 1;
}

}  // namespace kro::export_
