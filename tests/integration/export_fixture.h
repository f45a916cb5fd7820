// Helpers of the export and sync tests: job files that point at the private MariaDB, running
// kro, replaying a dump with the mariadb client, and reading tables back for comparison.
// server names the test server by the prefix of its settings: "MARIADB" (the first) or
// "MARIADB2" (the second, in another time zone).
#pragma once

#include <string>
#include <vector>

#include "kro_test_support.h"

// An exportjob job file: the source server of the test services, then export_part (the
// inside of <export>), then options (the inside of <options>, or no <options> element at
// all when null), then extra elements of <exportjob>. server names the source server.
std::string export_job_xml(const std::string& export_part, const char* options,
                           const std::string& extra = "", const std::string& server = "MARIADB");

// Writes the job file into dir and runs kro there.
RunResult run_export_job(const TempDir& dir, const std::string& xml);

// Replays a dump file with the mariadb client into database (empty: none selected).
// Returns the client's exit code; its output goes to *output when given. client_options
// are added to the client's command line as they are (shell words).
int replay_dump(const std::string& dump_path, const std::string& database, std::string* output = nullptr,
                const std::string& client_options = "", const std::string& server = "MARIADB");

// Runs statements with the mariadb client and returns what it printed (batch form, no
// column names: tabs between values, special bytes escaped).
std::string client_query(const std::string& sql, const std::string& server = "MARIADB");

// Every row of a table (INVISIBLE columns too) in a fixed order, as the client prints it,
// TIMESTAMP values in UTC.
std::string table_rows(const std::string& database, const std::string& table, const std::string& server = "MARIADB");
// The table's CHECKSUM TABLE value.
std::string table_checksum(const std::string& database, const std::string& table,
                           const std::string& server = "MARIADB");

// A database created fresh (dropped first when it exists).
void recreate_database(const std::string& name, const std::string& server = "MARIADB");

// A name for inside backquotes or single quotes in test SQL: the quote doubled.
std::string doubled(const std::string& text, char quote);
// A text for the shell, in single quotes.
std::string shell_quote(const std::string& text);

// Sets a global server variable for the life of the object, then sets it back.
class GlobalSetting {
public:
    GlobalSetting(const std::string& variable, const std::string& value);
    ~GlobalSetting();
    GlobalSetting(const GlobalSetting&) = delete;
    GlobalSetting& operator=(const GlobalSetting&) = delete;

private:
    std::string variable_, old_value_;
};
