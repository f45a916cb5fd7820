#include "export/binlog_position.h"

#include <cstring>

#include "common/sql_comment.h"
#include "connection/server_version.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

namespace {

bool is_mariadb(DumpConnection& source) {
    const char* info = source.tunnel().get_server_info(source.handle());
    return info && std::strstr(info, "MariaDB");
}

// The first value of a statement's first row; 0 after a failure or without a row.
int first_value(DumpConnection& source, const char* statement, std::string& value) {
    int ok = 0;
    ResultPtr rows = source.query(statement, ok);
    if (!ok) return 0;
    MYSQL_ROW row = rows ? source.tunnel().fetch_row(rows.get()) : nullptr;
    if (!row) {
        source.record_error("The server gave no answer.");
        return 0;
    }
    value = row[0] ? row[0] : "";
    return 1;
}

// A server text inside a quoted literal of a "--" comment line: quotes and backslashes
// doubled as the literal needs, no line break that would end the comment.
std::string comment_literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\'' || c == '\\') out += c;
        out += c;
    }
    return sql_comment_text(out);
}

// MySQL lists a GTID set with a line break after each comma; the setting wants none.
std::string without_blanks(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') out += c;
    return out;
}

}  // namespace

int binary_logging_on(DumpConnection& source, bool& on) {
    std::string value;
    if (!first_value(source, "SELECT @@log_bin", value)) return 0;
    on = value == "1";
    return 1;
}

int read_binlog_position(DumpConnection& source, BinlogPosition& position) {
    position.mariadb = is_mariadb(source);
    const unsigned long version = server_version(source.tunnel(), source.handle());
    // MySQL 8.2 renamed the statement, and 8.4 knows only the new name.
    const char* statement = !position.mariadb && version >= 80200 ? "SHOW BINARY LOG STATUS" : "SHOW MASTER STATUS";
    int ok = 0;
    ResultPtr rows = source.query(statement, ok);
    if (!ok) return 0;
    MYSQL_ROW row = rows ? source.tunnel().fetch_row(rows.get()) : nullptr;
    if (!row || !row[0] || !row[1]) {
        source.record_error("The server told no binary log file.");
        return 0;
    }
    position.file = row[0];
    position.position = row[1];
    rows.reset();
    // GTID positions exist from MariaDB 10.0.2 and MySQL 5.6.5 on.
    if (position.mariadb ? version < 100002 : version < 50605) return 1;
    return first_value(source, position.mariadb ? "SELECT @@GLOBAL.gtid_binlog_pos" : "SELECT @@GLOBAL.gtid_executed",
                       position.gtid);
}

std::string binlog_position_comment(const BinlogPosition& position) {
    std::string text = "\n-- The binary log position of this dump (replication or point-in-time recovery):\n";
    text += "-- CHANGE MASTER TO MASTER_LOG_FILE='" + comment_literal(position.file) +
            "', MASTER_LOG_POS=" + without_blanks(sql_comment_text(position.position)) + ";\n";
    const std::string gtid = comment_literal(without_blanks(position.gtid));
    if (!gtid.empty())
        text += (position.mariadb ? "-- SET GLOBAL gtid_slave_pos='" : "-- SET GLOBAL gtid_purged='") + gtid + "';\n";
    return text;
}

}  // namespace kro::export_
