// The ODBC side of the import: environment, connection, DBMS kind, quote character, the
// table list and the columns of tables and queries.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <strings.h>
#include <sys/stat.h>

#include "common/str_buf.h"
#include "import/connection_string.h"
#include "import/import_job.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;

namespace kro::import {

namespace {

constexpr SQLSMALLINT kNameUnits = 512;  // 1023 bytes of UTF-16 and a terminator

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Is the driver registered under this name (no case)?
bool driver_installed(SQLHANDLE env, const std::string& wanted) {
    SQLWCHAR description[1024];
    SQLWCHAR attributes[2048];
    SQLSMALLINT description_length = 0, attributes_length = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQLDriversW(env, direction, description, 1024, &description_length, attributes, 2048,
                       &attributes_length) == SQL_SUCCESS) {
        if (strcasecmp(utf8_of(description).c_str(), wanted.c_str()) == 0) return true;
        direction = SQL_FETCH_NEXT;
    }
    return false;
}

std::string text_or_empty(const SQLWCHAR* text, SQLLEN indicator) {
    return indicator == SQL_NULL_DATA ? std::string() : utf8_of(text);
}

}  // namespace

void ImportJob::report_diagnostic(const OdbcHandle& handle, const char* sql) {
    SQLWCHAR state[6] = {};
    SQLWCHAR message[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    sqlstate_.clear();
    if (handle && odbc_ok(SQLGetDiagRecW(handle.type(), handle.get(), 1, state, &native, message, 512, &length)))
        sqlstate_ = utf8_of(state);
    StrBuf text;
    if (sql) text.format("\r\nERROR in SQL:\n%s", sql);
    text.append_format("\r\nERROR: %s\r\n\r\n", utf8_of(message).c_str());
    report_failure(text.c_str());
    progress_.report(kImportFailed, text.str());
}

int ImportJob::new_statement(OdbcHandle& statement) {
    if (statement.allocate(SQL_HANDLE_STMT, dbc_.get())) return 1;
    report_diagnostic(dbc_, nullptr);
    return 0;
}

int ImportJob::set_up_environment() {
    if (!env_.allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE)) {
        report_failure("Error setting the SQL environment.");
        return 0;
    }
    if (!odbc_ok(SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
        env_.reset();
        report_failure("The ODBC driver is not 3.0 compliant. Please install an ODBC 3.0 compliant driver.");
        return 0;
    }
    if (!dbc_.allocate(SQL_HANDLE_DBC, env_.get())) {
        env_.reset();
        report_failure("Could not init HDBC connection");
        return 0;
    }
    return 1;
}

int ImportJob::connect_source() {
    const std::string& kind = s_.source_kind;
    if ((strcasecmp(kind.c_str(), "access") == 0 || strcasecmp(kind.c_str(), "excel") == 0) &&
        !file_exists(s_.source_name)) {
        report_failure("ERROR: File not found...\r\n");
        return 0;
    }
    bool newer = false;
    const std::string driver = file_kind_driver(kind, s_.source_name, &newer);
    if (newer && !driver_installed(env_.get(), driver)) {
        report_failure("ERROR: Drivers for Microsoft Office 2007 are not found...\r\n");
        return 0;
    }
    std::string text = odbc_connection_string(kind, s_.source_name, s_.source_user, s_.source_password);
    if (strcasecmp(kind.c_str(), "file") == 0) {
        const std::string expanded = file_dsn_connection_string(read_text_file(s_.source_name), s_.source_user,
                                                                s_.source_password);
        if (!expanded.empty()) text = expanded;
    }
    if (text.empty()) {
        report_diagnostic(dbc_, nullptr);
        return 0;
    }
    WideText wide(text);
    SQLWCHAR out[1024];
    SQLSMALLINT out_length = 0;
    if (!odbc_ok(SQLDriverConnectW(dbc_.get(), nullptr, wide.get(), wide.length(), out, 1023, &out_length,
                                   SQL_DRIVER_NOPROMPT))) {
        report_diagnostic(dbc_, nullptr);
        dbc_.reset();
        env_.reset();
        return 0;
    }
    dbc_.set_connected();
    return statement_.allocate(SQL_HANDLE_STMT, dbc_.get()) ? 1 : 0;
}

void ImportJob::read_dbms() {
    SQLWCHAR name[kNameUnits] = {};
    SQLSMALLINT length = 0;
    SQLGetInfoW(dbc_.get(), SQL_DBMS_NAME, name, 1023, &length);
    std::string upper = utf8_of(name);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    dbms_ = dbms_kind(upper);
    print_console_line(("DBMS Information: " + upper).c_str());
    flush_outputs();
}

void ImportJob::read_quote_char() {
    SQLWCHAR text[5] = {};
    SQLSMALLINT length = 0;
    if (odbc_ok(SQLGetInfoW(dbc_.get(), SQL_IDENTIFIER_QUOTE_CHAR, text, 9, &length)) && text[0] && text[0] < 128)
        quote_ = static_cast<char>(text[0]);
}

std::string ImportJob::quoted(const std::string& name) const {
    std::string out(1, quote_);
    for (char c : name) {
        out += c;
        if (c == quote_ && quote_ != ' ') out += c;
    }
    out += quote_;
    return out;
}

std::string ImportJob::qualified(const std::string& schema, const std::string& name) const {
    return schema.empty() ? quoted(name) : quoted(schema) + "." + quoted(name);
}

int ImportJob::execute_text(OdbcHandle& statement, const std::string& text) {
    WideText wide(text);
    SQLRETURN r = SQLExecDirectW(statement.get(), wide.get(), wide.long_length());
    if (odbc_ok(r) || r == SQL_NO_DATA) return 1;
    report_diagnostic(statement, text.c_str());
    return 0;
}

int ImportJob::list_all_tables() {
    WideText types(dbms_ == SourceDbms::excel ? "'TABLE','SYSTEM TABLE'" : "'TABLE','VIEW'");
    SQLRETURN r = SQLTablesW(statement_.get(), nullptr, 0, nullptr, 0, nullptr, 0, types.get(), types.length());
    if (r != SQL_SUCCESS) {
        report_diagnostic(statement_, nullptr);
        return 0;
    }
    SQLWCHAR schema[1024], name[1024];
    SQLLEN schema_ind = 0, name_ind = 0;
    SQLBindCol(statement_.get(), 2, SQL_C_WCHAR, schema, 2047, &schema_ind);
    SQLBindCol(statement_.get(), 3, SQL_C_WCHAR, name, 2047, &name_ind);
    while (odbc_ok(SQLFetch(statement_.get()))) {
        ImportTable table;
        table.schema = text_or_empty(schema, schema_ind);
        table.source_name = text_or_empty(name, name_ind);
        table.target_name = table.source_name;
        table.engine = "InnoDB";
        s_.tables.push_back(std::move(table));
    }
    SQLFreeStmt(statement_.get(), SQL_CLOSE);
    SQLFreeStmt(statement_.get(), SQL_UNBIND);
    return 1;
}

int ImportJob::read_result_flags(OdbcHandle& statement, std::vector<CatalogColumn>& columns) {
    SQLSMALLINT count = 0;
    SQLNumResultCols(statement.get(), &count);
    for (SQLSMALLINT i = 1; i <= count && static_cast<std::size_t>(i) <= columns.size(); ++i) {
        CatalogColumn& c = columns[static_cast<std::size_t>(i - 1)];
        SQLLEN is_unsigned = 0, auto_unique = 0;
        SQLColAttributeW(statement.get(), static_cast<SQLUSMALLINT>(i), SQL_DESC_UNSIGNED, nullptr, 0, nullptr,
                         &is_unsigned);
        SQLColAttributeW(statement.get(), static_cast<SQLUSMALLINT>(i), SQL_DESC_AUTO_UNIQUE_VALUE, nullptr, 0,
                         nullptr, &auto_unique);
        c.is_unsigned = is_unsigned != 0;
        c.auto_unique = auto_unique == 1;
    }
    return 1;
}

int ImportJob::read_catalog_columns(ImportTable& table) {
    OdbcHandle h;
    if (!new_statement(h)) return 0;
    WideText schema(table.schema), name(table.source_name);
    if (!odbc_ok(SQLColumnsW(h.get(), nullptr, 0, schema.or_null(), schema.length(), name.get(), name.length(),
                             nullptr, 0))) {
        report_diagnostic(h, nullptr);
        return 0;
    }
    SQLWCHAR column_name[kNameUnits], remarks[kNameUnits], default_value[kNameUnits];
    SQLSMALLINT data_type = 0, digits = 0, nullable = 0;
    SQLINTEGER size = 0;
    SQLLEN ind[7] = {};
    SQLBindCol(h.get(), 4, SQL_C_WCHAR, column_name, 1023, &ind[0]);
    SQLBindCol(h.get(), 5, SQL_C_SSHORT, &data_type, 0, &ind[1]);
    SQLBindCol(h.get(), 7, SQL_C_SLONG, &size, 0, &ind[2]);
    SQLBindCol(h.get(), 9, SQL_C_SSHORT, &digits, 0, &ind[3]);
    SQLBindCol(h.get(), 11, SQL_C_SSHORT, &nullable, 0, &ind[4]);
    SQLBindCol(h.get(), 12, SQL_C_WCHAR, remarks, 1023, &ind[5]);
    SQLSMALLINT result_columns = 0;
    SQLNumResultCols(h.get(), &result_columns);
    const bool has_default = result_columns >= 13;
    if (has_default) SQLBindCol(h.get(), 13, SQL_C_WCHAR, default_value, 1023, &ind[6]);
    std::vector<CatalogColumn> described;
    for (;;) {
        remarks[0] = default_value[0] = 0;
        digits = 0;
        size = 0;
        SQLRETURN r = SQLFetch(h.get());
        if (!odbc_ok(r)) break;
        CatalogColumn in;
        in.name = text_or_empty(column_name, ind[0]);
        in.odbc_type = data_type;
        in.size = ind[2] == SQL_NULL_DATA ? 0 : size;
        in.digits = ind[3] == SQL_NULL_DATA ? 0 : digits;
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
    map_source_columns(described, dbms_, target_.server_5(), table);
    return 1;
}

int ImportJob::describe_query(ImportTable& table) {
    if (!execute_text(statement_, s_.import_query)) return 0;
    SQLSMALLINT count = 0;
    SQLNumResultCols(statement_.get(), &count);
    std::vector<CatalogColumn> described;
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        SQLWCHAR name[1025] = {};
        SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        if (!odbc_ok(SQLDescribeColW(statement_.get(), static_cast<SQLUSMALLINT>(i), name, 1025, &name_length, &type,
                                     &size, &digits, &nullable))) {
            report_diagnostic(statement_, nullptr);
            break;
        }
        CatalogColumn in;
        in.name = utf8_of(name);
        in.odbc_type = type;
        in.size = static_cast<long>(size);
        in.digits = digits;
        in.no_nulls = nullable == SQL_NO_NULLS;
        described.push_back(std::move(in));
    }
    read_result_flags(statement_, described);
    map_source_columns(described, dbms_, target_.server_5(), table);
    SQLFreeStmt(statement_.get(), SQL_CLOSE);
    return table.columns.empty() ? 0 : 1;
}

}  // namespace kro::import
