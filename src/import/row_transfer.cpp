// Moving one table's rows: the source SELECT, fetching (bound buffers or column by
// column), the INSERT / INSERT IGNORE / REPLACE batches sized to the packet allowance,
// duplicate keys, and the source row actions.
#include <algorithm>
#include <cstring>
#include <strings.h>
#include <vector>

#include "common/str_buf.h"
#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "import/import_job.h"
#include "platform/text_convert.h"
#include "report/reporting.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::import {

namespace {

constexpr unsigned kDuplicateEntry = 1062;
constexpr unsigned kNoSuchTable = 1146;
constexpr long kMaxBatchBytes = 16777216;
constexpr SQLLEN kBoundUnits = 2048;            // UTF-16 units of a bound buffer
constexpr SQLLEN kChunkBytes = 64 * 1024;        // one SQLGetData call's buffer

bool is_ignored(const ImportColumn& c) {
    return strcasecmp(c.source_name.c_str(), "ignore") == 0 || c.source_name == "<ignore>";
}

// A number as SQL accepts it unquoted; anything else is written as a quoted value, so that
// a source value can never end the statement early.
bool plain_number(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return false;
    return true;
}

// The value of a column that gets none from the source.
void append_default(StrBuf& row, const ImportColumn& c) {
    std::string def = c.default_value;
    while (!def.empty() && def[0] == '(') def = def.size() >= 2 ? def.substr(1, def.size() - 2) : "";
    if (def.empty()) row.append("DEFAULT");  // the target column's own default
    else if (c.numeric) row.append(def);
    else row.append_format("'%s'", def.c_str());
}

}  // namespace

int ImportJob::transfer(ImportTable& table, const std::string* query) {
    Tunnel& tunnel = target_.tunnel();
    MYSQL*& handle = target_.handle();
    const bool direct = !tunnel.is_http();
    if (direct && !target_.begin_rows()) return 0;
    // A table that fails ends its transaction too; one that succeeds fails when its commit does.
    struct RowsEnd {
        TargetWriter& target;
        bool open;
        ~RowsEnd() {
            if (open) target.end_rows();
        }
    } rows_end{target_, direct};

    OdbcHandle h;
    if (!new_statement(h)) return 0;
    if (dbms_ == SourceDbms::sql_server &&
        !odbc_ok(SQLSetStmtAttr(h.get(), SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_DYNAMIC), 0))) {
        report_diagnostic(h, nullptr);
        return 0;
    }
    const std::string where = table.where_clause.empty() ? " " : " where " + table.where_clause;
    const std::string from = qualified(table.schema, table.source_name);
    std::string select;
    if (query) {
        select = *query;
    } else if (table.source_defined_columns) {
        select = "SELECT * FROM " + from + where;
    } else {
        select = "select ";
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            const ImportColumn& c = table.columns[i];
            select += c.source_name == "<ignore>" ? std::string("NULL") : quoted(c.source_name);
            select += i + 1 < table.columns.size() ? "," : " FROM " + from;
        }
        select += where;
    }
    if (!execute_text(h, select)) return 0;

    const std::size_t columns = table.columns.size();
    for (std::size_t i = 0; i < columns; ++i) {
        SQLLEN display = 0;
        if (!odbc_ok(SQLColAttributeW(h.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_DESC_DISPLAY_SIZE, nullptr, 0,
                                      nullptr, &display)))
            display = 0;
        table.columns[i].display_size = dbms_ == SourceDbms::four_d ? 32000 : static_cast<long>(display);
    }
    for (std::size_t i = 0; i < columns; ++i) {
        SQLWCHAR name[256];
        SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!odbc_ok(SQLDescribeColW(h.get(), static_cast<SQLUSMALLINT>(i + 1), name, 256, &name_length, &type, &size,
                                     &digits, &nullable))) {
            report_diagnostic(h, nullptr);
            return 0;
        }
        table.columns[i].odbc_type = type;
    }
    SQLSMALLINT result_columns = 0;
    SQLNumResultCols(h.get(), &result_columns);
    if (result_columns == 0 || static_cast<std::size_t>(result_columns) > columns) {
        report_failure("\r\nERROR: Column count doesn't match...");
        return 0;
    }

    std::vector<FetchedValue> values(columns);
    std::vector<std::u16string> bound;
    std::vector<SQLLEN> bound_length(columns, 0);
    const bool bind = !table.has_long_columns;
    if (bind) {
        bound.assign(columns, std::u16string(static_cast<std::size_t>(kBoundUnits), u'\0'));
        for (std::size_t i = 0; i < columns; ++i)
            SQLBindCol(h.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_C_WCHAR, bound[i].data(),
                       kBoundUnits * 2, &bound_length[i]);
    }

    // The insert head.
    long limit = std::min(1024 * packet_allowance(tunnel, handle), kMaxBatchBytes);
    if (limit <= 0) limit = 1024 * 1024;
    const bool bulk = !table.row_action.any();
    std::string column_list;
    for (const ImportColumn& c : table.columns) {
        if (!column_list.empty()) column_list += " ,";
        column_list += backquoted(c.target_name);
    }
    if (column_list.empty()) return 0;
    const char* verb = "INSERT INTO";
    if (strcasecmp(table.row_conflict.c_str(), "update") == 0) verb = "REPLACE INTO";
    else if (strcasecmp(table.row_conflict.c_str(), "noupdate") == 0 && strcasecmp(table.table_conflict.c_str(), "import") == 0)
        verb = "INSERT IGNORE INTO";
    StrBuf head;
    head.format("%s `%s`.`%s` (%s) VALUES (", verb, escape_identifier(s_.target.database.view()).c_str(),
                escape_identifier(table.target_name).c_str(), column_list.c_str());

    StrBuf statement(static_cast<std::size_t>(limit) + 4096);
    statement.append(head.view());
    StrBuf row;
    long rows = 0, rows_in_statement = 0;
    std::string utf8;
    std::vector<char16_t> chunk(static_cast<std::size_t>(kChunkBytes / 2));

    // What follows a batch the server ran (or refused); false when the table stops here.
    auto batch_done = [&](bool succeeded, std::string_view text, long rows_at, bool report_count) -> bool {
        if (!succeeded) {
            if (tunnel.error_number(handle) == kDuplicateEntry) {
                if (strcasecmp(table.row_conflict.c_str(), "abort") == 0) {
                    StrBuf text;
                    text.format("\r\n%s: Duplicate Key...Job aborted...", target_.table().c_str());
                    report_failure(text.c_str());
                    progress_.report(kImportFailed, text.str());
                    return false;
                }
                rows_reported_ = true;
            } else {
                // The rows of a refused statement are not in the target: the table failed.
                return false;
            }
        } else if (!target_.values_kept(text)) {
            return false;
        } else {
            target_.rows_stored();
        }
        if (!rows_reported_ && (report_count || rows_at % 1000 == 0)) progress_.row_count(rows_at);
        return true;
    };
    // Runs the statement; false when the table stops here.
    auto execute_batch = [&](bool report_count) -> bool {
        if (rows == 0) {
            progress_.row_count(0);
            return true;
        }
        return batch_done(target_.run(statement.view(), true), statement.view(), rows, report_count);
    };

    // On a direct connection a full batch is sent and the next one built while the server
    // runs it; its outcome is read before the next batch goes. Source and target then work
    // at the same time, on one thread.
    const bool pipelined = bulk && direct && target_.executes() && server_at_least_4_1_0(tunnel, handle);
    StrBuf sent(pipelined ? static_cast<std::size_t>(limit) + 4096 : 0);
    bool in_flight = false;
    long sent_rows = 0;
    auto finish_sent = [&]() -> bool {
        if (!in_flight) return true;
        in_flight = false;
        const bool succeeded = mysql_read_query_result(handle) == 0;
        if (!succeeded && tunnel.error_number(handle) != kNoSuchTable) target_.report_error(sent.view());
        return batch_done(succeeded, sent.view(), sent_rows, true);
    };
    auto send_batch = [&]() -> bool {
        if (!finish_sent()) return false;
        std::swap(sent, statement);
        sent_rows = rows;
        if (mysql_send_query(handle, sent.c_str(), static_cast<unsigned long>(sent.length())) != 0) {
            target_.report_error(sent.view());
            return batch_done(false, sent.view(), sent_rows, true);
        }
        in_flight = true;
        return true;
    };

    // Fetches column i of the current row into values[i]; false after a reported failure.
    auto fetch_column = [&](std::size_t i) -> bool {
        FetchedValue& v = values[i];
        const ImportColumn& c = table.columns[i];
        v.is_null = false;
        v.wide.clear();
        v.bytes.clear();
        const SQLSMALLINT c_type = c.binary ? SQL_C_BINARY : SQL_C_WCHAR;
        const SQLLEN room = c.binary ? kChunkBytes : kChunkBytes - 2;
        for (;;) {
            SQLLEN indicator = 0;
            SQLRETURN r = SQLGetData(h.get(), static_cast<SQLUSMALLINT>(i + 1), c_type, chunk.data(), kChunkBytes,
                                     &indicator);
            if (r == SQL_NO_DATA) break;
            if (!odbc_ok(r)) {
                report_diagnostic(h, nullptr);
                return false;
            }
            if (indicator == SQL_NULL_DATA) {
                v.is_null = true;
                break;
            }
            const SQLLEN got = indicator == SQL_NO_TOTAL || indicator > room ? room : indicator;
            if (c.binary) {
                v.bytes.append(reinterpret_cast<const char*>(chunk.data()), static_cast<std::size_t>(got));
            } else {
                // A driver may stop short of the buffer's end rather than split a character:
                // the text ends at its terminator.
                std::size_t units = static_cast<std::size_t>(got / 2);
                if (r == SQL_SUCCESS_WITH_INFO && chunk[units] != 0)
                    units = static_cast<std::size_t>(std::find(chunk.begin(), chunk.begin() + static_cast<long>(units), u'\0') - chunk.begin());
                v.wide.append(chunk.data(), units);
            }
            if (r == SQL_SUCCESS) break;
        }
        return true;
    };

    std::vector<char> ignored(columns);
    for (std::size_t i = 0; i < columns; ++i) ignored[i] = is_ignored(table.columns[i]);
    const bool access_guids = dbms_ == SourceDbms::access;
    // False when the target connection cannot escape the value for its character set.
    auto append_value = [&](std::size_t i) {
        const ImportColumn& c = table.columns[i];
        const FetchedValue& v = values[i];
        if (ignored[i]) {
            append_default(row, c);
            return true;
        }
        if (v.is_null) {
            row.append("NULL");
            return true;
        }
        if (c.binary) {
            row.append("'");
            if (!append_escaped_value(row, tunnel, handle, v.bytes.data(), static_cast<unsigned long>(v.bytes.size())))
                return false;
            row.append("'");
            return true;
        }
        utf8.clear();
        append_utf16_as_utf8(utf8, v.wide.data(), v.wide.size());
        if (c.numeric && (utf8.empty() || plain_number(utf8))) {
            row.append(utf8.empty() ? "NULL" : utf8);
            return true;
        }
        const bool guid = access_guids && c.odbc_type == SQL_GUID;
        row.append(guid ? "'{" : "'");
        if (!append_escaped_value(row, tunnel, handle, utf8.data(), static_cast<unsigned long>(utf8.size())))
            return false;
        row.append(guid ? "}'" : "'");
        return true;
    };

    bool ok = true;
    SQLRETURN fetched;
    while (ok && odbc_ok(fetched = SQLFetch(h.get()))) {
        row.clear();
        for (std::size_t i = 0; i < columns && ok; ++i) {
            if (i >= static_cast<std::size_t>(result_columns)) {
                values[i].is_null = true;
            } else if (bind) {
                FetchedValue& v = values[i];
                v.is_null = bound_length[i] == SQL_NULL_DATA;
                v.wide.clear();
                if (!v.is_null) {
                    if (bound_length[i] == SQL_NO_TOTAL || bound_length[i] >= kBoundUnits * 2) {
                        report_failure("\r\nERROR: A value is longer than its fetch buffer...");
                        ok = false;
                        break;
                    }
                    v.wide.assign(bound[i].data(), static_cast<std::size_t>(bound_length[i] / 2));
                }
            } else if (!fetch_column(i)) {
                ok = false;
                break;
            }
            if (i > 0) row.append(", ");
            if (!append_value(i)) {
                report_failure("\r\nERROR: A value could not be escaped for the target connection's character set.");
                ok = false;
            }
        }
        if (!ok) break;
        ++rows;
        progress_.rows_read(static_cast<std::uint64_t>(rows));
        if (bulk) {
            if (rows_in_statement > 0 && static_cast<std::size_t>(limit) < statement.length() + row.length()) {
                statement.cut_end(2);
                if (!(pipelined ? send_batch() : execute_batch(true))) { ok = false; break; }
                statement.clear();
                statement.append(head.view());
                rows_in_statement = 0;
            }
            statement.append(row.view());
            statement.append("),(");
            ++rows_in_statement;
        } else {
            statement.append(row.view());
            statement.append(")");
            rows_in_statement = 1;
            if (!execute_batch(false)) { ok = false; break; }
            statement.clear();
            statement.append(head.view());
            rows_in_statement = 0;
            if (!run_row_action(table, values)) { ok = false; break; }
        }
    }
    if (!finish_sent()) ok = false;
    if (ok && fetched != SQL_NO_DATA) {
        report_diagnostic(h, nullptr);
        ok = false;
    }
    if (ok && bulk && rows_in_statement > 0) {
        statement.cut_end(2);
        ok = execute_batch(true);
    } else if (ok && !rows_reported_) {
        progress_.row_count(rows);
    }
    if (ok && rows_end.open) {
        rows_end.open = false;
        ok = target_.end_rows();
    }
    return ok ? 1 : 0;
}

}  // namespace kro::import
