// The source's connection: environment, connect, DBMS kind, quote character, and the
// statements and diagnostics the other readers share.
#include "import/source_reader.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <strings.h>
#include <sys/stat.h>

#include "common/str_buf.h"
#include "import/connection_string.h"
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

}  // namespace

void SourceReader::report_diagnostic(const OdbcHandle& handle, const char* sql) {
    SQLWCHAR state[6] = {};
    SQLWCHAR message[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (handle) SQLGetDiagRecW(handle.type(), handle.get(), 1, state, &native, message, 512, &length);
    StrBuf text;
    if (sql) text.format("\r\nERROR in SQL:\n%s", sql);
    text.append_format("\r\nERROR: %s\r\n\r\n", utf8_of(message).c_str());
    report_failure(text.c_str());
    progress_.report(kImportFailed, text.str());
}

int SourceReader::new_statement(OdbcHandle& statement) {
    if (statement.allocate(SQL_HANDLE_STMT, dbc_.get())) return 1;
    report_diagnostic(dbc_, nullptr);
    return 0;
}

int SourceReader::set_up_environment() {
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

int SourceReader::open(const ImportSettings& settings) { return set_up_environment() && connect(settings) ? 1 : 0; }

int SourceReader::connect(const ImportSettings& s) {
    const std::string& kind = s.source_kind;
    if ((strcasecmp(kind.c_str(), "access") == 0 || strcasecmp(kind.c_str(), "excel") == 0) &&
        !file_exists(s.source_name)) {
        report_failure("ERROR: File not found...\r\n");
        return 0;
    }
    bool newer = false;
    const std::string driver = file_kind_driver(kind, s.source_name, &newer);
    if (newer && !driver_installed(env_.get(), driver)) {
        report_failure("ERROR: Drivers for Microsoft Office 2007 are not found...\r\n");
        return 0;
    }
    std::string text = odbc_connection_string(kind, s.source_name, s.source_user, s.source_password);
    if (strcasecmp(kind.c_str(), "file") == 0) {
        const std::string expanded = file_dsn_connection_string(read_text_file(s.source_name), s.source_user,
                                                                s.source_password);
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
    return catalog_.allocate(SQL_HANDLE_STMT, dbc_.get()) ? 1 : 0;
}

void SourceReader::read_dbms() {
    SQLWCHAR name[kNameUnits] = {};
    SQLSMALLINT length = 0;
    SQLGetInfoW(dbc_.get(), SQL_DBMS_NAME, name, 1023, &length);
    std::string upper = utf8_of(name);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    dbms_ = dbms_kind(upper);
    print_console_line(("DBMS Information: " + upper).c_str());
    flush_outputs();
}

void SourceReader::read_quote_char() {
    SQLWCHAR text[5] = {};
    SQLSMALLINT length = 0;
    if (odbc_ok(SQLGetInfoW(dbc_.get(), SQL_IDENTIFIER_QUOTE_CHAR, text, 9, &length)) && text[0] && text[0] < 128)
        quote_ = static_cast<char>(text[0]);
}

std::string SourceReader::quoted(const std::string& name) const {
    std::string out(1, quote_);
    for (char c : name) {
        out += c;
        if (c == quote_ && quote_ != ' ') out += c;
    }
    out += quote_;
    return out;
}

std::string SourceReader::qualified(const std::string& schema, const std::string& name) const {
    return schema.empty() ? quoted(name) : quoted(schema) + "." + quoted(name);
}

int SourceReader::execute_text(OdbcHandle& statement, const std::string& text) {
    WideText wide(text);
    SQLRETURN r = SQLExecDirectW(statement.get(), wide.get(), wide.long_length());
    if (odbc_ok(r) || r == SQL_NO_DATA) return 1;
    report_diagnostic(statement, text.c_str());
    return 0;
}

int SourceReader::set_up_session() {
    if (dbms_ != SourceDbms::postgresql) return 1;
    // A zoned value arrives in the session's zone without its offset: in UTC, two
    // instants never fall on one local time.
    OdbcHandle statement;
    if (!new_statement(statement)) return 0;
    return execute_text(statement, "SET TIME ZONE 'UTC'") && execute_text(statement, "SET DateStyle = 'ISO, YMD'");
}

}  // namespace kro::import
