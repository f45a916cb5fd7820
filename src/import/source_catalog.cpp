// The source's catalog: the table list, and the columns of a table or of a query's result.
#include <strings.h>

#include "common/str_buf.h"
#include "import/source_reader.h"

using namespace kro::common;

namespace kro::import {

namespace {

template <std::size_t Units>
std::string text_or_empty(const WideAnswer<Units>& text, SQLLEN indicator) {
    return is_null_indicator(indicator) ? std::string() : text.text();
}

// Does the catalog's table type (upper case) belong to the listed ones? Some drivers
// ignore the type list and give system tables too; a row without a type is kept.
bool wanted_type(const std::string& type, bool excel) {
    if (type.empty()) return true;
    if (strcasecmp(type.c_str(), "TABLE") == 0) return true;
    return strcasecmp(type.c_str(), excel ? "SYSTEM TABLE" : "VIEW") == 0;
}

}  // namespace

int SourceReader::list_all_tables(std::vector<ImportTable>& tables) {
    WideText types(dbms_ == SourceDbms::excel ? "'TABLE','SYSTEM TABLE'" : "'TABLE','VIEW'");
    SQLRETURN r = SQLTablesW(catalog_.get(), nullptr, 0, nullptr, 0, nullptr, 0, types.get(), types.length());
    if (r != SQL_SUCCESS) {
        report_diagnostic(catalog_, nullptr);
        return 0;
    }
    const bool excel = dbms_ == SourceDbms::excel;
    WideAnswer<1024> schema, name, type;
    SQLLEN schema_ind = 0, name_ind = 0, type_ind = 0;
    SQLBindCol(catalog_.get(), 2, SQL_C_WCHAR, schema.get(), schema.bytes(), &schema_ind);
    SQLBindCol(catalog_.get(), 3, SQL_C_WCHAR, name.get(), name.bytes(), &name_ind);
    SQLBindCol(catalog_.get(), 4, SQL_C_WCHAR, type.get(), type.bytes(), &type_ind);
    for (bool rows = has_result(catalog_); rows;) {
        schema.clear();
        name.clear();
        type.clear();
        schema_ind = name_ind = type_ind = 0;
        if (!odbc_ok(SQLFetch(catalog_.get()))) break;
        const std::string type_text = text_or_empty(type, type_ind);
        if (!wanted_type(type_text, excel)) continue;
        if (dbms_ == SourceDbms::mdb_tools && strcasecmp(type_text.c_str(), "VIEW") == 0) {
            // A saved query: MDB Tools cannot run Access SQL.
            progress_.warning("WARNING : " + text_or_empty(name, name_ind) +
                              " is a saved query of the Access file, not a table: it is left out.\r\n");
            continue;
        }
        ImportTable table;
        table.schema = text_or_empty(schema, schema_ind);
        table.source_name = text_or_empty(name, name_ind);
        table.target_name = table.source_name;
        table.engine = "InnoDB";
        tables.push_back(std::move(table));
    }
    SQLFreeStmt(catalog_.get(), SQL_CLOSE);
    SQLFreeStmt(catalog_.get(), SQL_UNBIND);
    return 1;
}

int SourceReader::read_result_flags(OdbcHandle& statement, std::vector<CatalogColumn>& columns) {
    SQLSMALLINT count = 0;
    SQLNumResultCols(statement.get(), &count);
    for (SQLSMALLINT i = 1; i <= count && static_cast<std::size_t>(i) <= columns.size(); ++i) {
        CatalogColumn& c = columns[static_cast<std::size_t>(i - 1)];
        SQLLEN is_unsigned = 0, auto_unique = 0;
        const auto column = static_cast<SQLUSMALLINT>(i);
        if (!column_number(statement.get(), column, SQL_DESC_UNSIGNED, is_unsigned)) is_unsigned = 0;
        if (!column_number(statement.get(), column, SQL_DESC_AUTO_UNIQUE_VALUE, auto_unique)) auto_unique = 0;
        c.is_unsigned = is_unsigned != 0;
        c.auto_unique = auto_unique == 1;
    }
    return 1;
}

int SourceReader::describe_result(OdbcHandle& statement, std::vector<CatalogColumn>& described) {
    SQLSMALLINT count = 0;
    SQLNumResultCols(statement.get(), &count);
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        const auto column = static_cast<SQLUSMALLINT>(i);
        WideAnswer<1024> name;
        SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!odbc_ok(SQLDescribeColW(statement.get(), column, name.get(), name.units(), &name_length, &type, &size,
                                     &digits, &nullable))) {
            report_diagnostic(statement, nullptr);
            return 0;
        }
        CatalogColumn in;
        in.name = name.text();
        in.odbc_type = type;
        in.size = static_cast<long>(size);
        in.digits = digits;
        in.no_nulls = nullable == SQL_NO_NULLS;
        if (dbms_ == SourceDbms::mdb_tools) {
            WideAnswer<64> type_name;
            SQLSMALLINT type_length = 0;
            SQLColAttributeW(statement.get(), column, SQL_DESC_TYPE_NAME, type_name.get(), type_name.bytes(),
                             &type_length, nullptr);
            in.access_type = type_name.text();
            // A Text column's size is in bytes, two a character since Jet 4.
            if (in.access_type == "TEXT" && access_wide_text_) in.size /= 2;
            // The driver's nullability is the kind of storage, not the file's rule.
            in.no_nulls = false;
        }
        described.push_back(std::move(in));
    }
    return 1;
}

int SourceReader::read_columns(ImportTable& table, bool server_5) {
    if (dbms_ == SourceDbms::mdb_tools) {
        // MDB Tools' catalogue answer ends at the first column whose ODBC type code is below
        // zero (Yes/No, Byte, OLE Object, Decimal, Replication ID: the fetch of that row fails)
        // and calls every column NOT NULL. The table's result describes every column, with its
        // Access type; which columns are required the file's own properties say.
        OdbcHandle h;
        StrBuf probe;
        probe.format("Select * from %s where 1 = 0 ", qualified(table.schema, table.source_name).c_str());
        std::vector<CatalogColumn> described;
        if (!new_statement(h) || !execute_text(h, probe.str()) || !describe_result(h, described)) return 0;
        read_required_columns(table.source_name, described);
        read_access_definition(table.source_name, described);
        map_source_columns(described, dbms_, server_5, table);
        return 1;
    }
    OdbcHandle h;
    if (!new_statement(h)) return 0;
    WideText schema(table.schema), name(table.source_name);
    if (!odbc_ok(SQLColumnsW(h.get(), nullptr, 0, schema.or_null(), schema.length(), name.get(), name.length(),
                             nullptr, 0))) {
        report_diagnostic(h, nullptr);
        return 0;
    }
    WideAnswer<512> column_name, remarks, default_value;
    SQLSMALLINT data_type = 0, digits = 0, nullable = 0;
    SQLINTEGER size = 0;
    SQLLEN ind[7] = {};
    SQLSMALLINT result_columns = 0;
    SQLNumResultCols(h.get(), &result_columns);
    SQLBindCol(h.get(), 4, SQL_C_WCHAR, column_name.get(), column_name.bytes(), &ind[0]);
    SQLBindCol(h.get(), 5, SQL_C_SSHORT, &data_type, 0, &ind[1]);
    SQLBindCol(h.get(), 7, SQL_C_SLONG, &size, 0, &ind[2]);
    SQLBindCol(h.get(), 9, SQL_C_SSHORT, &digits, 0, &ind[3]);
    SQLBindCol(h.get(), 11, SQL_C_SSHORT, &nullable, 0, &ind[4]);
    SQLBindCol(h.get(), 12, SQL_C_WCHAR, remarks.get(), remarks.bytes(), &ind[5]);
    const bool has_default = result_columns >= 13;
    if (has_default) SQLBindCol(h.get(), 13, SQL_C_WCHAR, default_value.get(), default_value.bytes(), &ind[6]);
    std::vector<CatalogColumn> described;
    while (result_columns > 0) {
        column_name.clear();
        remarks.clear();
        default_value.clear();
        data_type = digits = nullable = 0;
        size = 0;
        for (SQLLEN& i : ind) i = 0;
        SQLRETURN r = SQLFetch(h.get());
        if (!odbc_ok(r)) break;
        CatalogColumn in;
        in.name = text_or_empty(column_name, ind[0]);
        in.odbc_type = data_type;
        in.size = is_null_indicator(ind[2]) ? 0 : size;
        in.digits = is_null_indicator(ind[3]) ? 0 : digits;
        in.no_nulls = nullable == SQL_NO_NULLS;
        in.remarks = text_or_empty(remarks, ind[5]);
        if (has_default) in.default_value = text_or_empty(default_value, ind[6]);
        described.push_back(std::move(in));
    }
    if (!new_statement(h)) return 0;
    StrBuf probe;
    probe.format("Select * from %s where 1 = 0 ", qualified(table.schema, table.source_name).c_str());
    if (!execute_text(h, probe.str())) return 0;
    read_result_flags(h, described);
    map_source_columns(described, dbms_, server_5, table);
    return 1;
}

int SourceReader::describe_query(const std::string& query, ImportTable& table, bool server_5) {
    if (!execute_text(catalog_, query)) return 0;
    std::vector<CatalogColumn> described;
    describe_result(catalog_, described);
    read_result_flags(catalog_, described);
    map_source_columns(described, dbms_, server_5, table);
    SQLFreeStmt(catalog_.get(), SQL_CLOSE);
    return table.columns.empty() ? 0 : 1;
}

}  // namespace kro::import
