#include "import_sources.h"

#include <memory>

#include <gtest/gtest.h>
#include <mysql.h>

#include "kro_test_support.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

std::string pg_run(const std::string& sql) {
    TempDir dir;
    write_file(dir.file("in.sql"), sql);
    RunResult r = run_program("/usr/bin/psql",
                              {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-F", "\x1f", "-R", "\x1e", "-P",
                               "null=~", "-h", service_value("PG_HOST"), "-p", service_value("PG_PORT"), "-U",
                               service_value("PG_USER"), "-d", service_value("PG_DATABASE"), "-f", dir.file("in.sql")},
                              dir.path(), {"PGPASSWORD=" + service_value("PG_PASSWORD"), "PGCLIENTENCODING=UTF8"});
    EXPECT_EQ(r.exit_code, 0) << "psql failed on: " << sql.substr(0, 500);
    return r.out;
}

std::vector<std::string> pg_rows(const std::string& sql) {
    std::string out = pg_run(sql);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return split(out, '\x1e');
}

std::string sqlite_run(const std::string& sql) {
    TempDir dir;
    RunResult r = run_program("/usr/bin/sqlite3", {service_value("ODBC_SQLITE_DB"), sql}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << "sqlite3 failed on: " << sql;
    return r.out;
}

std::vector<std::string> maria_rows(const std::string& sql) {
    std::unique_ptr<MYSQL, void (*)(MYSQL*)> handle(mysql_init(nullptr), mysql_close);
    mysql_options(handle.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
    std::vector<std::string> rows;
    if (!mysql_real_connect(handle.get(), service_value("MARIADB_HOST").c_str(), service_value("MARIADB_USER").c_str(),
                            service_value("MARIADB_PASSWORD").c_str(), nullptr,
                            static_cast<unsigned>(std::stoi(service_value("MARIADB_PORT"))), nullptr, 0) ||
        mysql_real_query(handle.get(), sql.data(), sql.size()) != 0) {
        ADD_FAILURE() << sql << ": " << mysql_error(handle.get());
        return rows;
    }
    std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(mysql_store_result(handle.get()), mysql_free_result);
    if (!result) return rows;
    const unsigned fields = mysql_num_fields(result.get());
    while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
        unsigned long* lengths = mysql_fetch_lengths(result.get());
        std::string line;
        for (unsigned i = 0; i < fields; ++i) {
            if (i > 0) line += '\x1f';
            line += row[i] ? std::string(row[i], lengths[i]) : std::string("~");
        }
        rows.push_back(line);
    }
    return rows;
}

std::vector<std::string> odbc_env() { return {"ODBCSYSINI=" + service_value("ODBCSYSINI")}; }

std::string target_element(const std::string& database, const std::string& tunnelinfo) {
    return "<source><host>127.0.0.1</host><port>" + service_value("MARIADB_PORT") + "</port><user>" +
           service_value("MARIADB_USER") + "</user><pwd>" + xml_escaped(service_value("MARIADB_PASSWORD")) +
           "</pwd><database>" + database + "</database>" + tunnelinfo + "</source>";
}

std::string pg_dsn_element(const std::string& password) {
    return "<dsn type=\"system\"><name>" + service_value("ODBC_PG_DSN") + "</name><user>" + service_value("PG_USER") +
           "</user><pwd>" + xml_escaped(password.empty() ? service_value("PG_PASSWORD") : password) + "</pwd></dsn>";
}
