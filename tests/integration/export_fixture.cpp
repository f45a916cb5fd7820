#include "export_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "mariadb_fixture.h"

std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string doubled(const std::string& text, char quote) {
    std::string out;
    for (char x : text) {
        out += x;
        if (x == quote) out += quote;
    }
    return out;
}

namespace {

std::string client_command(const std::string& server) {
    return "mariadb --no-defaults --default-character-set=utf8mb4 --skip-ssl -h " +
           shell_quote(service_value(server + "_HOST")) + " -P " + shell_quote(service_value(server + "_PORT")) +
           " -u " + shell_quote(service_value(server + "_USER"));
}

std::string qualified(const std::string& database, const std::string& table) {
    return "`" + doubled(database, '`') + "`.`" + doubled(table, '`') + "`";
}

std::vector<std::string> client_env(const std::string& server) {
    return {"MYSQL_PWD=" + service_value(server + "_PASSWORD")};
}

}  // namespace

std::string export_job_xml(const std::string& export_part, const char* options, const std::string& extra,
                           const std::string& server) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><exportjob>\n<source>";
    xml += "<host>" + service_value(server + "_HOST") + "</host>";
    xml += "<port>" + service_value(server + "_PORT") + "</port>";
    xml += "<user>" + service_value(server + "_USER") + "</user>";
    xml += "<pwd>" + service_value(server + "_PASSWORD") + "</pwd>";
    xml += "<compressed>0</compressed></source>\n<export>" + export_part + "</export>\n";
    if (options) xml += std::string("<options>") + options + "</options>\n";
    xml += extra + "</exportjob></job>\n";
    return xml;
}

RunResult run_export_job(const TempDir& dir, const std::string& xml) {
    write_file(dir.file("job.xml"), xml);
    return run_kro({"job.xml"}, dir.path());
}

int replay_dump(const std::string& dump_path, const std::string& database, std::string* output,
                const std::string& client_options, const std::string& server) {
    std::string command = client_command(server) + " " + client_options + " " +
                          (database.empty() ? "" : shell_quote(database)) + " < " + shell_quote(dump_path) + " 2>&1";
    RunResult r = run_program("/bin/sh", {"-c", command}, "/tmp", client_env(server));
    if (output) *output = r.out;
    return r.exit_code;
}

std::string client_query(const std::string& sql, const std::string& server) {
    std::string command = client_command(server) + " -B -N -e " + shell_quote(sql) + " 2>&1";
    return run_program("/bin/sh", {"-c", command}, "/tmp", client_env(server)).out;
}

std::string table_rows(const std::string& database, const std::string& table, const std::string& server) {
    // By name: SELECT * would leave INVISIBLE columns out.
    const std::string sql =
        "select group_concat(concat('`', replace(column_name, '`', '``'), '`') order by ordinal_position) "
        "from information_schema.columns where table_schema = '" + doubled(database, '\'') + "' and table_name = '" +
        doubled(table, '\'') + "'";
    // The first server is asked directly, which keeps names with line breaks whole.
    std::string columns = server == "MARIADB" ? mariadb_value(sql) : client_query(sql, server);
    if (server != "MARIADB" && !columns.empty() && columns.back() == '\n') columns.pop_back();
    EXPECT_FALSE(columns.empty()) << database << "." << table;
    std::string order;
    for (std::size_t i = 1, n = std::count(columns.begin(), columns.end(), ',') + 1; i <= n; ++i)
        order += (i > 1 ? "," : "") + std::to_string(i);
    return client_query("set time_zone = '+00:00'; select " + columns + " from " + qualified(database, table) +
                            " order by " + order,
                        server);
}

std::string table_checksum(const std::string& database, const std::string& table, const std::string& server) {
    std::string line = client_query("checksum table " + qualified(database, table), server);
    std::size_t tab = line.find('\t');
    return tab == std::string::npos ? line : line.substr(tab + 1);
}

GlobalSetting::GlobalSetting(const std::string& variable, const std::string& value)
    : variable_(variable), old_value_(mariadb_value("select @@global." + variable)) {
    mariadb_exec("set global " + variable + " = " + value);
}

GlobalSetting::~GlobalSetting() {
    bool number = !old_value_.empty() && std::all_of(old_value_.begin(), old_value_.end(), ::isdigit);
    mariadb_exec("set global " + variable_ + " = " + (number ? old_value_ : "'" + doubled(old_value_, '\'') + "'"));
}

void recreate_database(const std::string& name, const std::string& server) {
    const std::string sql = "drop database if exists `" + name + "`; create database `" + name +
                            "` character set utf8mb4 collate utf8mb4_general_ci";
    if (server == "MARIADB") {
        mariadb_exec(sql);
        return;
    }
    EXPECT_EQ(client_query(sql, server), "") << server;
}
