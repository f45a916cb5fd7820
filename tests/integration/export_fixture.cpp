#include "export_fixture.h"

#include <gtest/gtest.h>

#include "mariadb_fixture.h"

namespace {

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

std::string client_command() {
    return "mariadb --no-defaults --default-character-set=utf8mb4 --skip-ssl -h " + shell_quote(service_value("MARIADB_HOST")) +
           " -P " + shell_quote(service_value("MARIADB_PORT")) + " -u " + shell_quote(service_value("MARIADB_USER"));
}

std::string doubled(const std::string& text, char c) {
    std::string out;
    for (char x : text) {
        out += x;
        if (x == c) out += c;
    }
    return out;
}

std::string qualified(const std::string& database, const std::string& table) {
    return "`" + doubled(database, '`') + "`.`" + doubled(table, '`') + "`";
}

std::vector<std::string> client_env() { return {"MYSQL_PWD=" + service_value("MARIADB_PASSWORD")}; }

}  // namespace

std::string export_job_xml(const std::string& export_part, const char* options, const std::string& extra) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><exportjob>\n<source>";
    xml += "<host>" + service_value("MARIADB_HOST") + "</host>";
    xml += "<port>" + service_value("MARIADB_PORT") + "</port>";
    xml += "<user>" + service_value("MARIADB_USER") + "</user>";
    xml += "<pwd>" + service_value("MARIADB_PASSWORD") + "</pwd>";
    xml += "<compressed>0</compressed></source>\n<export>" + export_part + "</export>\n";
    if (options) xml += std::string("<options>") + options + "</options>\n";
    xml += extra + "</exportjob></job>\n";
    return xml;
}

RunResult run_export_job(const TempDir& dir, const std::string& xml) {
    write_file(dir.file("job.xml"), xml);
    return run_kro({"job.xml"}, dir.path());
}

int replay_dump(const std::string& dump_path, const std::string& database, std::string* output) {
    std::string command = client_command() + " " + (database.empty() ? "" : shell_quote(database)) + " < " +
                          shell_quote(dump_path) + " 2>&1";
    RunResult r = run_program("/bin/sh", {"-c", command}, "/tmp", client_env());
    if (output) *output = r.out;
    return r.exit_code;
}

std::string client_query(const std::string& sql) {
    std::string command = client_command() + " -B -N -e " + shell_quote(sql) + " 2>&1";
    return run_program("/bin/sh", {"-c", command}, "/tmp", client_env()).out;
}

std::string table_rows(const std::string& database, const std::string& table) {
    std::string columns = mariadb_value("select count(*) from information_schema.columns where table_schema = '" +
                                        doubled(database, '\'') + "' and table_name = '" + doubled(table, '\'') + "'");
    int count = std::stoi(columns);
    EXPECT_GT(count, 0) << database << "." << table;
    std::string order;
    for (int i = 1; i <= count; ++i) order += (i > 1 ? "," : "") + std::to_string(i);
    return client_query("select * from " + qualified(database, table) + " order by " + order);
}

std::string table_checksum(const std::string& database, const std::string& table) {
    std::string line = client_query("checksum table " + qualified(database, table));
    std::size_t tab = line.find('\t');
    return tab == std::string::npos ? line : line.substr(tab + 1);
}

void recreate_database(const std::string& name) {
    mariadb_exec("drop database if exists `" + name + "`; create database `" + name +
                 "` character set utf8mb4 collate utf8mb4_general_ci");
}
