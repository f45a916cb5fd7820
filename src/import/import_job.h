// ImportJob: one run of an `odbcimport` job after its settings were read. It drives the
// source reader (ODBC side), the schema builder and the target writer (MySQL side): the
// tables are made first (import_job.cpp, target_tables.cpp), then their foreign keys, then
// each table's rows (TableRows).
#pragma once

#include <string>

#include "import/import_progress.h"
#include "import/import_settings.h"
#include "import/schema_builder.h"
#include "import/source_reader.h"
#include "import/target_writer.h"

namespace kro::import {

class ImportJob {
public:
    ImportJob(ImportSettings& settings, ImportProgress& progress) : s_(settings), progress_(progress) {}
    // How a run ended: every table imported; the job went to its end but tables failed;
    // or a failure stopped the job early.
    enum class Outcome { succeeded, tables_failed, stopped };
    // The import steps from the target's Tunnel on.
    Outcome run();
    // What the closing log line says the import did: tables imported and failed, rows.
    std::string summary() const;

private:
    // import_job.cpp
    int import_tables();
    int import_query();
    // The table's columns and keys; 0 after a reported failure.
    int prepare_table(ImportTable& table, TableKeys& keys);
    // Key columns whose type no key can take become ones it can.
    void fit_keys(ImportTable& table, const TableKeys& keys);
    // A warning for each column whose default the target could not take.
    void warn_left_out_defaults(const ImportTable& table);
    int transfer(ImportTable& table, const std::string* query);
    void table_failed(const std::string& text);

    // target_tables.cpp: 1 when the table is there to import into, 0 when it failed,
    // kStopJob when it exists and the job file says to stop.
    static constexpr int kStopJob = -1;
    int make_table(const ImportTable& table, const TableKeys& keys, bool query_import);
    int foreign_key_pass();

    ImportSettings& s_;
    ImportProgress& progress_;
    SourceReader source_{progress_};
    TargetWriter target_{progress_};
    bool some_table_failed_ = false;
    unsigned tables_imported_ = 0;
    unsigned tables_failed_ = 0;
    unsigned long long rows_imported_ = 0;
};

}  // namespace kro::import
