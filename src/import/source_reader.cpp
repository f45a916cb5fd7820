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
    WideAnswer<1024> description;
    WideAnswer<2048> attributes;
    SQLSMALLINT description_length = 0, attributes_length = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQLDriversW(env, direction, description.get(), description.units(), &description_length, attributes.get(),
                       attributes.units(), &attributes_length) == SQL_SUCCESS) {
        if (strcasecmp(description.text().c_str(), wanted.c_str()) == 0) return true;
        description.clear();
        direction = SQL_FETCH_NEXT;
    }
    return false;
}

// The Access file format's version byte: 0 for Jet 3, whose texts are single bytes; Jet 4
// and ACE files (1 and above) keep texts in UTF-16. Jet 4 when the file cannot be read.
int access_file_version(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char version = 1;
    if (!in.seekg(0x14) || !in.get(version)) return 1;
    return static_cast<unsigned char>(version);
}

}  // namespace

std::string SourceReader::diagnostic_state(const OdbcHandle& handle, std::string* message) {
    WideAnswer<8> state;  // five characters and a terminator
    WideAnswer<1024> text;
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (handle) SQLGetDiagRecW(handle.type(), handle.get(), 1, state.get(), &native, text.get(), text.units(), &length);
    if (message) *message = text.text();
    return state.text();
}

void SourceReader::report_diagnostic(const OdbcHandle& handle, const char* sql) {
    std::string message;
    diagnostic_state(handle, &message);
    if (message.empty()) message = "The ODBC driver gave no message.";
    StrBuf text;
    if (sql) text.format("\r\nERROR in SQL:\n%s", quoted_for_report(sql).c_str());
    text.append_format("\r\nERROR: %s\r\n\r\n", message.c_str());
    report_failure(text.c_str());
    progress_.report(kImportFailed, text.str());
}

bool SourceReader::has_result(const OdbcHandle& statement) {
    SQLSMALLINT columns = 0;
    return odbc_ok(SQLNumResultCols(statement.get(), &columns)) && columns > 0;
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
    std::string driver = file_kind_driver(kind, s.source_name, &newer);
    const bool access = strcasecmp(kind.c_str(), "access") == 0;
    if (access) {
        // The same driver reads .mdb and .accdb files wherever it is installed under one of
        // the names it goes by.
        if (!driver_installed(env_.get(), driver)) {
            for (const std::string& other : access_driver_alternatives(s.source_name)) {
                if (!driver_installed(env_.get(), other)) continue;
                driver = other;
                newer = false;
                break;
            }
        } else {
            newer = false;
        }
        access_wide_text_ = access_file_version(s.source_name) != 0;
        access_path_ = s.source_name;
    }
    if (newer && !driver_installed(env_.get(), driver)) {
        report_failure("ERROR: Drivers for Microsoft Office 2007 are not found...\r\n");
        return 0;
    }
    std::string text = odbc_connection_string(kind, s.source_name, s.source_user, s.source_password, driver);
    if (strcasecmp(kind.c_str(), "file") == 0) {
        const std::string expanded = file_dsn_connection_string(read_text_file(s.source_name), s.source_user,
                                                                s.source_password);
        if (!expanded.empty()) text = expanded;
    }
    if (text.empty()) {
        // The driver manager has nothing to say about a kind it never saw: name it.
        StrBuf unknown;
        unknown.format("ERROR: Unknown dsn type \"%s\": it is one of system, file, access, excel and csv.\r\n",
                       kind.c_str());
        report_failure(unknown.c_str());
        return 0;
    }
    WideText wide(text);
    WideAnswer<1024> out;
    SQLSMALLINT out_length = 0;
    if (!odbc_ok(SQLDriverConnectW(dbc_.get(), nullptr, wide.get(), wide.length(), out.get(), out.units(), &out_length,
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
    WideAnswer<512> name;
    SQLSMALLINT length = 0;
    SQLGetInfoW(dbc_.get(), SQL_DBMS_NAME, name.get(), name.bytes(), &length);
    std::string upper = name.text();
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    dbms_ = dbms_kind(upper);
    print_console_line(("DBMS Information: " + upper).c_str());
    flush_outputs();
}

void SourceReader::read_quote_char() {
    // An ANSI driver behind the driver manager may leave this answer unterminated: the
    // manager then copies what follows it too. Only the first character counts.
    WideAnswer<512> text;
    SQLSMALLINT length = 0;
    if (odbc_ok(SQLGetInfoW(dbc_.get(), SQL_IDENTIFIER_QUOTE_CHAR, text.get(), text.bytes(), &length)) &&
        text.get()[0] && text.get()[0] < 128)
        quote_ = static_cast<char>(text.get()[0]);
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
