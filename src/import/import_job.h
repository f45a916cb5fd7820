// ImportJob: one run of an `odbcimport` job after its settings were read: the ODBC source,
// the target (TargetWriter), the tables and the state the steps share. Its work is split
// over odbc_source.cpp (source and catalog), target_tables.cpp (keys, indexes, tables,
// foreign keys; the statements come from schema_builder), row_transfer.cpp (rows) and
// import_job.cpp (the steps).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "import/import_progress.h"
#include "import/import_settings.h"
#include "import/odbc_handles.h"
#include "import/schema_builder.h"
#include "import/target_writer.h"
#include "import/type_mapping.h"

namespace kro::import {

// One column's value of the current row, as fetched (kept for the source row action).
struct FetchedValue {
    bool is_null = false;
    std::u16string wide;  // text columns
    std::string bytes;    // binary columns
};

class ImportJob {
public:
    ImportJob(ImportSettings& settings, ImportProgress& progress) : s_(settings), progress_(progress) {}
    // The import steps from the target's Tunnel on; 1 when every step and table succeeded.
    int run();

private:
    // odbc_source.cpp
    int set_up_environment();
    int connect_source();
    void read_dbms();
    void read_quote_char();
    int list_all_tables();
    int read_catalog_columns(ImportTable& table);
    int describe_query(ImportTable& table);
    int read_result_flags(OdbcHandle& statement, std::vector<CatalogColumn>& columns);
    // A statement handle of its own (the one before is freed); a failure is reported.
    int new_statement(OdbcHandle& statement);
    int execute_text(OdbcHandle& statement, const std::string& text);
    void report_diagnostic(const OdbcHandle& handle, const char* sql);
    // A source name between the source's quote characters (a quote inside doubled), and
    // schema-qualified when a schema is given.
    std::string quoted(const std::string& name) const;
    std::string qualified(const std::string& schema, const std::string& name) const;

    // target_tables.cpp
    void keys_from_job_file(ImportTable& table);
    int keys_from_catalog(ImportTable& table);
    int read_statistics(ImportTable& table);
    int read_indexes_by_name(ImportTable& table, bool append);
    std::string create_table_text(const ImportTable& table);
    // 1 when the table is there to import into, 0 when it failed, kStopJob when it exists
    // and the job file says to stop.
    static constexpr int kStopJob = -1;
    int make_table(ImportTable& table, bool query_import);
    int foreign_key_pass();
    int read_foreign_keys(ImportTable& table);
    int read_access_relationships(ImportTable& table);
    std::string target_column_name(const ImportTable& table, const std::string& source_name) const;

    // row_transfer.cpp
    int transfer(ImportTable& table, const std::string* query);
    // row_action.cpp: updates or deletes the source row just copied; 0 when it could not
    // be prepared.
    int run_row_action(const ImportTable& table, const std::vector<FetchedValue>& values);

    // import_job.cpp
    int import_tables();
    int import_query();
    int prepare_table(ImportTable& table);
    void table_failed(const std::string& text);

    ImportSettings& s_;
    ImportProgress& progress_;

    OdbcHandle env_;
    OdbcHandle dbc_;
    OdbcHandle statement_;
    SourceDbms dbms_ = SourceDbms::other;
    char quote_ = '"';
    std::string sqlstate_;

    TargetWriter target_{progress_};
    TableKeys keys_;
    std::string foreign_keys_;

    bool rows_reported_ = false;
    bool some_table_failed_ = false;
};

}  // namespace kro::import
