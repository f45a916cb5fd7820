#include "import/source_rows.h"

#include <algorithm>
#include <cctype>

#include "report/reporting.h"

using namespace kro::report;

namespace kro::import {

namespace {

constexpr SQLLEN kBoundUnits = 2048;      // UTF-16 units of a bound buffer
constexpr SQLLEN kChunkBytes = 64 * 1024;  // one SQLGetData call's buffer

}  // namespace

bool SourceRows::read_as_text(const ImportColumn& c) const {
    if (source_.dbms() != SourceDbms::postgresql) return false;
    switch (c.odbc_type) {
        case SQL_DATE: case SQL_TIME: case SQL_TIMESTAMP: case SQL_TYPE_DATE: case SQL_TYPE_TIME:
        case SQL_TYPE_TIMESTAMP:
            return true;
        case 0: return is_temporal_type(c.type);  // a job-file column: its target type tells
        default: return false;
    }
}

std::string SourceRows::select_text(const std::string* query) const {
    bool any_text = false;
    for (const ImportColumn& c : table_.columns) any_text = any_text || read_as_text(c);
    auto as_text = [](const std::string& column) { return "CAST(" + column + " AS text)"; };
    if (query) {
        if (!any_text) return *query;
        // The query's columns by position, whatever their names.
        std::string text = *query;
        while (!text.empty() && (text.back() == ';' || std::isspace(static_cast<unsigned char>(text.back()))))
            text.pop_back();
        std::string select = "SELECT ", names;
        for (std::size_t i = 0; i < table_.columns.size(); ++i) {
            const std::string column = "c" + std::to_string(i + 1);
            select += (i > 0 ? ", " : "") + (read_as_text(table_.columns[i]) ? as_text(column) : column);
            names += (i > 0 ? ", " : "") + column;
        }
        return select + " FROM (" + text + ") AS kro_rows(" + names + ")";
    }
    const std::string where = table_.where_clause.empty() ? " " : " where " + table_.where_clause;
    const std::string from = source_.qualified(table_.schema, table_.source_name);
    if (table_.source_defined_columns && !any_text) return "SELECT * FROM " + from + where;
    std::string select = table_.source_defined_columns ? "SELECT " : "select ";
    for (std::size_t i = 0; i < table_.columns.size(); ++i) {
        const ImportColumn& c = table_.columns[i];
        if (c.source_name == "<ignore>") select += "NULL";
        else select += read_as_text(c) ? as_text(source_.quoted(c.source_name)) : source_.quoted(c.source_name);
        select += i + 1 < table_.columns.size() ? "," : " FROM " + from;
    }
    return select + where;
}

int SourceRows::open(const std::string* query) {
    if (!source_.new_statement(statement_)) return 0;
    if (source_.dbms() == SourceDbms::sql_server &&
        !odbc_ok(SQLSetStmtAttr(statement_.get(), SQL_ATTR_CURSOR_TYPE,
                                reinterpret_cast<SQLPOINTER>(SQL_CURSOR_DYNAMIC), 0))) {
        source_.report_diagnostic(statement_, nullptr);
        return 0;
    }
    if (!source_.execute_text(statement_, select_text(query)) || !describe_result()) return 0;
    values_.assign(table_.columns.size(), FetchedValue{});
    // Buffers have twice the room the driver is told of (see WideAnswer).
    // Every slot starts marked unwritten (see text_piece_units); what a call wrote is
    // marked again after it, so the cost follows the data, not the buffer.
    if (table_.has_long_columns) chunk_.assign(static_cast<std::size_t>(kChunkBytes), kUnwrittenUnit);
    else bind();
    return 1;
}

int SourceRows::describe_result() {
    const std::size_t columns = table_.columns.size();
    SQLHANDLE h = statement_.get();
    for (std::size_t i = 0; i < columns; ++i) {
        SQLLEN display = 0;
        if (!column_number(h, static_cast<SQLUSMALLINT>(i + 1), SQL_DESC_DISPLAY_SIZE, display)) display = 0;
        table_.columns[i].display_size = source_.dbms() == SourceDbms::four_d ? 32000 : static_cast<long>(display);
    }
    for (std::size_t i = 0; i < columns; ++i) {
        WideAnswer<256> name;
        SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!odbc_ok(SQLDescribeColW(h, static_cast<SQLUSMALLINT>(i + 1), name.get(), name.units(), &name_length,
                                     &type, &size, &digits, &nullable))) {
            source_.report_diagnostic(statement_, nullptr);
            return 0;
        }
        // A date read as text keeps its own type (the source row action binds by it).
        if (!read_as_text(table_.columns[i]) || table_.columns[i].odbc_type == 0) table_.columns[i].odbc_type = type;
    }
    SQLSMALLINT result_columns = 0;
    SQLNumResultCols(h, &result_columns);
    if (result_columns == 0 || static_cast<std::size_t>(result_columns) > columns) {
        report_failure("\r\nERROR: Column count doesn't match...");
        return 0;
    }
    result_columns_ = static_cast<std::size_t>(result_columns);
    return 1;
}

void SourceRows::bind() {
    const std::size_t columns = table_.columns.size();
    bound_ = true;
    buffers_.assign(columns, std::u16string(static_cast<std::size_t>(kBoundUnits * 2), u'\0'));
    lengths_.assign(columns, 0);
    for (std::size_t i = 0; i < columns; ++i)
        SQLBindCol(statement_.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_C_WCHAR, buffers_[i].data(),
                   kBoundUnits * 2, &lengths_[i]);
}

SourceRows::Next SourceRows::next() {
    const SQLRETURN fetched = SQLFetch(statement_.get());
    if (fetched == SQL_NO_DATA) return Next::end;
    if (!odbc_ok(fetched)) return Next::fetch_failed;
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (i >= result_columns_) values_[i].is_null = true;
        else if (!(bound_ ? take_bound(i) : fetch_column(i))) return Next::failed;
    }
    return Next::row;
}

bool SourceRows::take_bound(std::size_t i) {
    FetchedValue& v = values_[i];
    const SQLLEN length = indicator_of(lengths_[i]);
    v.is_null = length == SQL_NULL_DATA;
    v.wide.clear();
    if (v.is_null) return true;
    // SQL_NO_TOTAL, or any length the buffer cannot hold: the value was cut.
    if (length < 0 || length >= kBoundUnits * 2) {
        report_failure("\r\nERROR: A value is longer than its fetch buffer...");
        return false;
    }
    v.wide.assign(buffers_[i].data(), static_cast<std::size_t>(length / 2));
    return true;
}

bool SourceRows::fetch_column(std::size_t i) {
    FetchedValue& v = values_[i];
    const ImportColumn& c = table_.columns[i];
    v.is_null = false;
    v.wide.clear();
    v.bytes.clear();
    const SQLSMALLINT c_type = c.binary ? SQL_C_BINARY : SQL_C_WCHAR;
    const SQLLEN room = c.binary ? kChunkBytes : kChunkBytes - 2;
    const auto room_units = static_cast<std::size_t>(room / 2);
    for (;;) {
        SQLLEN raw = 0;
        SQLRETURN r = SQLGetData(statement_.get(), static_cast<SQLUSMALLINT>(i + 1), c_type, chunk_.data(),
                                 kChunkBytes, &raw);
        const SQLLEN indicator = indicator_of(raw);
        if (r == SQL_NO_DATA) break;
        if (!odbc_ok(r)) {
            source_.report_diagnostic(statement_, nullptr);
            return false;
        }
        if (indicator == SQL_NULL_DATA) {
            v.is_null = true;
            break;
        }
        // SQL_NO_TOTAL (or any other length below zero) and a length beyond the chunk: the
        // chunk is full.
        const SQLLEN got = indicator < 0 || indicator > room ? room : indicator;
        if (c.binary) {
            v.bytes.append(reinterpret_cast<const char*>(chunk_.data()), static_cast<std::size_t>(got));
        } else {
            // A cut piece may end short of the buffer's end (a driver that will not split a
            // character): it ends at the terminator the driver wrote.
            auto units = static_cast<std::size_t>(got / 2);
            if (r == SQL_SUCCESS_WITH_INFO && got == room) units = text_piece_units(chunk_.data(), room_units);
            v.wide.append(chunk_.data(), units);
        }
        std::fill_n(chunk_.begin(), std::min(static_cast<std::size_t>(got / 2) + 2, chunk_.size()), kUnwrittenUnit);
        if (r == SQL_SUCCESS) break;
    }
    return true;
}

}  // namespace kro::import
