// The import tests' ODBC sources and target: SQL run on the private PostgreSQL (psql) and
// SQLite (sqlite3) sources, rows read back from the target MariaDB, and job files.
#pragma once

#include <string>
#include <vector>

// Runs SQL on the PostgreSQL source; fails the test when psql does. Gives psql's output,
// fields separated by \x1f, rows by \x1e, NULL shown as "~".
std::string pg_run(const std::string& sql);
std::vector<std::string> pg_rows(const std::string& sql);
// Runs SQL on the SQLite source database.
std::string sqlite_run(const std::string& sql);
// The rows of a query on the target MariaDB, fields joined by \x1f, NULL as "~".
std::vector<std::string> maria_rows(const std::string& sql);

// The environment kro needs to find the private ODBC set-up.
std::vector<std::string> odbc_env();

// The `source` element for the private MariaDB with the given database.
std::string target_element(const std::string& database, const std::string& tunnelinfo = "");
std::string pg_dsn_element(const std::string& password = "");
