// Helpers of the sync tests: job files whose source and target are databases on the test
// servers, running them, and comparing a synced table with its source.
#pragma once

#include <string>

#include "export_fixture.h"
#include "kro_test_support.h"

// "<source>" or "<target>" with the settings of a test server ("MARIADB" or "MARIADB2")
// and the database; extra goes inside the element (a tunnelinfo).
std::string sync_server_xml(const char* element, const std::string& server, const std::string& database,
                            const std::string& extra = "");

// A syncjob job file: source, target, then the other elements of <syncjob>.
std::string sync_job_xml(const std::string& source, const std::string& target, const std::string& body);

// Writes the job file into dir and runs kro there (log and session file in dir).
RunResult run_sync_job(const TempDir& dir, const std::string& xml, const std::vector<std::string>& env = {});

// The summary line of a table as the run prints it.
std::string summary_line(const std::string& table, unsigned source_rows, unsigned target_rows, unsigned inserted,
                         unsigned updated, unsigned deleted);
// The run's output has the table's summary: its counts may follow a warning printed after
// the row counts (tables without a key), but come before the next table's line.
bool has_summary(const std::string& out, const std::string& table, unsigned source_rows, unsigned target_rows,
                 unsigned inserted, unsigned updated, unsigned deleted);

// The table's rows and CHECKSUM TABLE value are the same on both sides (and it has rows).
void expect_same_table(const std::string& source_db, const std::string& target_db, const std::string& table,
                       const std::string& target_server = "MARIADB");
