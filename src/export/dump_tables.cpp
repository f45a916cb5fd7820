// Tables: the loops over a database's tables, each table's structure and its data, read
// unbuffered page by page and written as INSERT statements.
#include <strings.h>

#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "export/dump_writer.h"

namespace {

unsigned long escape_for_connection(void* context, char* destination, const char* source,
                                    unsigned long length) {
    auto* server = static_cast<ServerConnection*>(context);
    return server->tunnel->real_escape_string(server->handle, destination, source, length);
}

}  // namespace

int DumpWriter::table_group() {
    StrBuf statement;
    list_tables_statement(*server_.tunnel, server_.handle, current_db_.c_str(), statement);
    std::vector<std::string> names;
    if (!list_names(statement.c_str(), names)) {
        report_object_failure(false);
        return 0;
    }
    event("tables", 0, kGroupStarted);
    return table_loop(names);
}

int DumpWriter::table_loop(const std::vector<std::string>& names) {
    event(current_db_.c_str(), static_cast<long>(names.size()), kObjectCount);
    return each_object(names, [this](const std::string& name, bool& file_open_failed) {
        return dump_table(name, file_open_failed);
    });
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
    bool is_view = false;
    int ok = write_table_structure(name, is_view);
    if (ok && !options().structureonly && !is_view) ok = write_table_data(name);
    // The lock goes whatever happened, or every later table would fail too.
    if (locked && !send("UNLOCK TABLES")) ok = 0;
    // Rows written before a failure are committed too when the dump is replayed.
    if (options().autocommit && commit_pending_) output_.buffer().append("\nCOMMIT;\n");
    if (!ok) return 0;
    if (options().flushmaster && !send("FLUSH MASTER")) return 0;
    if (!end_object_file()) return 0;
    event(name.c_str(), 0, kObjectFinished);
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
    out.append_format("\n/*Table structure for table `%s` */\n", table.c_str());
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

// The primary key's columns, back-quoted and joined by ",", for reading pages in key order.
int DumpWriter::primary_key_order(const std::string& name, std::string& order) {
    StrBuf statement;
    statement.format("show keys from `%s`.`%s`", quoted(current_db_).c_str(), quoted(name).c_str());
    int ok = 0;
    ResultPtr keys = query(statement.c_str(), ok);
    if (!ok) return 0;
    order.clear();
    while (keys && (true)) {
        MYSQL_ROW row = server_.tunnel->fetch_row(keys.get());
        if (!row) break;
        if (row[2] && row[4] && strcasecmp(row[2], "primary") == 0) {
            if (!order.empty()) order += ",";
            order += "`" + quoted(row[4]) + "`";
        }
    }
    return 1;
}

int DumpWriter::write_table_data(const std::string& name) {
    StrBuf engine;
    if (table_engine(*server_.tunnel, server_.handle, current_db_.c_str(), name.c_str(), engine) &&
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
    }
    std::string order;
    if (!primary_key_order(name, order)) return 0;
    const bool paged = may_page && page_size_ < total;
    StrBuf& out = output_.buffer();
    out.append_format("\n/*Data for the table `%s` */\n", table.c_str());
    if (options().disablekeys) out.append_format("\n/*!40000 ALTER TABLE `%s` DISABLE KEYS */;\n", table.c_str());
    if (options().locktablewrite) out.append_format("\nLOCK TABLES `%s` WRITE;\n", table.c_str());
    if (options().autocommit) {
        out.append("\nset autocommit=0;\n");
        commit_pending_ = true;
    }
    inserts_.begin_table(table, options().insertdelayed ? "DELAYED " : "");

    long offset = 0;
    long rows_seen = 0;
    int ok = 1;
    StrBuf statement;
    for (;;) {
        statement.format("select * from `%s`.`%s`", quoted(current_db_).c_str(), table.c_str());
        if (paged) {
            if (!order.empty()) statement.append_format(" order by %s ", order.c_str());
            statement.append_format("limit %ld,%ld ", offset, page_size_);
        }
        ok = read_rows(statement.c_str(), rows_seen);
        if (!ok || !paged) break;
        offset += page_size_;
        if (offset >= total) break;
    }
    if (ok && !may_page) event(name.c_str(), rows_seen, kRowTotal);
    // Also after a failure: the open statement and the lock are closed, so that the rest of
    // the dump still replays.
    inserts_.end_table(out);
    if (options().locktablewrite) out.append_format("\n%s;\n", "UNLOCK TABLES");
    if (options().disablekeys) out.append_format("\n/*!40000 ALTER TABLE  `%s` ENABLE KEYS */;\n", table.c_str());
    return ok;
}

// One page of rows, streamed from the server straight into INSERT text.
int DumpWriter::read_rows(const char* statement, long& rows_seen) {
    if (cancelled()) {
        record_error("The export was cancelled.");
        return 0;
    }
    Tunnel& tunnel = *server_.tunnel;
    ResultPtr rows = query_result(tunnel, server_.handle, statement);
    if (!rows) {
        record_connection_error();
        return 0;
    }
    if (!inserts_.has_columns()) {
        unsigned count = tunnel.num_fields(rows.get());
        MYSQL_FIELD* fields = tunnel.fetch_fields(rows.get());
        std::string columns;
        for (unsigned i = 0; i < count; ++i) {
            if (i > 0) columns += ",";
            columns += "`" + quoted(fields[i].name) + "`";
        }
        inserts_.set_columns(columns, fields, count);
    }
    StrBuf& out = output_.buffer();
    while (MYSQL_ROW row = tunnel.fetch_row(rows.get())) {
        if (!inserts_.add_row(out, row, tunnel.fetch_lengths(rows.get()), escape_for_connection, &server_)) {
            record_error("A value could not be escaped for the connection's character set.");
            return 0;
        }
        if (++rows_seen % 100 == 0) event(nullptr, rows_seen, kRowProgress);
        if (!output_.flush_if_full()) {
            record_error(output_.last_write_error().c_str());
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
