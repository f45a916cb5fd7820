// SourceReader: the import's ODBC side. It owns the ODBC environment and connection and
// reads what the import needs from the source: its kind, the table list, the columns of a
// table or a query, keys, indexes and foreign keys; it runs the source row action. Every
// failure is reported (console, log, report body) where it happens. One per job.
#pragma once

#include <string>
#include <vector>

#include "import/access_file.h"
#include "import/import_progress.h"
#include "import/import_settings.h"
#include "import/odbc_handles.h"
#include "import/schema_builder.h"
#include "import/type_mapping.h"

namespace kro::import {

// One column's value of the current row, as fetched (kept for the source row action).
struct FetchedValue {
    bool is_null = false;
    std::u16string wide;  // text columns
    std::string bytes;    // binary columns
};

class SourceReader {
public:
    explicit SourceReader(ImportProgress& progress) : progress_(progress) {}
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    // The ODBC environment and the connection the settings describe; 0 after a report.
    int open(const ImportSettings& settings);
    // The source's kind from its DBMS name, printed on the console.
    void read_dbms();
    // Settings of the source session that values depend on (after read_dbms): PostgreSQL
    // gives dates and times as ISO texts and zoned ones in UTC. 0 after a report.
    int set_up_session();
    // The source's identifier quote character (kept as it was when the driver names none).
    void read_quote_char();
    SourceDbms dbms() const { return dbms_; }

    // source_catalog.cpp: every table (and view) of the source, appended to tables.
    int list_all_tables(std::vector<ImportTable>& tables);
    // The table's columns as the catalog describes them, mapped to target columns.
    // server_5: the target is MySQL 5.0.0 or later.
    int read_columns(ImportTable& table, bool server_5);
    // The columns of the query's result, mapped to the table's target columns.
    int describe_query(const std::string& query, ImportTable& table, bool server_5);

    // source_keys.cpp: the primary key of the job file's columns, and the source's
    // indexes when the table wants them.
    void keys_from_job_file(const ImportTable& table, TableKeys& keys);
    // The primary key and indexes from the catalog; marks the key's columns primary.
    int keys_from_catalog(ImportTable& table, TableKeys& keys);
    // The table's foreign keys as the clauses of one ALTER TABLE ("" for none). listed:
    // the job's tables, whose target names a reference takes; null to keep source names.
    int read_foreign_keys(const ImportTable& table, const std::vector<ImportTable>* listed, std::string& clauses);

    // source_row_action.cpp: updates or deletes the source row just copied; 0 when it
    // could not be prepared (a failure to run it is reported and the transfer goes on).
    int run_row_action(const ImportTable& table, const std::vector<FetchedValue>& values);

    // A source name between the source's quote characters (a quote inside doubled), and
    // schema-qualified when a schema is given.
    std::string quoted(const std::string& name) const;
    std::string qualified(const std::string& schema, const std::string& name) const;

    // A statement handle of its own (the one before is freed); a failure is reported.
    int new_statement(OdbcHandle& statement);
    // Runs the text on the statement; a failure is reported with the text.
    int execute_text(OdbcHandle& statement, const std::string& text);
    // The handle's first diagnostic, reported after the SQL text when one is given.
    void report_diagnostic(const OdbcHandle& handle, const char* sql);
    // The SQLSTATE of the handle's first diagnostic, and its message when asked for.
    std::string diagnostic_state(const OdbcHandle& handle, std::string* message = nullptr);
    // Whether the statement's last call left a result to fetch. Some drivers answer a
    // catalog call they cannot serve with success and no result, and crash on a fetch.
    static bool has_result(const OdbcHandle& statement);

private:
    int set_up_environment();
    int connect(const ImportSettings& settings);
    int read_result_flags(OdbcHandle& statement, std::vector<CatalogColumn>& columns);
    // The columns of the statement's result; 0 after a reported failure (the columns
    // described before it are kept).
    int describe_result(OdbcHandle& statement, std::vector<CatalogColumn>& described);
    // Marks the Access table's columns that the file says are required (NOT NULL); 0 when
    // the file's properties could not be read (the columns are then left nullable).
    int read_required_columns(const std::string& table, std::vector<CatalogColumn>& columns);
    // The Access table's definition from the file (its indexes, its AutoNumber columns),
    // kept for keys_from_catalog; 0 when it cannot be read (no file path: a DSN).
    int read_access_definition(const std::string& table, std::vector<CatalogColumn>& columns);
    // Adds the definition's indexes (and, with_primary, its primary key) to keys.
    void keys_from_access_definition(const ImportTable& table, bool with_primary, TableKeys& keys);
    int fetch_indexes(const ImportTable& table, bool name_based, std::vector<IndexDef>& indexes,
                      std::vector<std::string>* primary_columns, OdbcHandle& h);
    int read_statistics(const ImportTable& table, TableKeys& keys);
    int read_indexes_by_name(const ImportTable& table, bool append, TableKeys& keys);
    int read_access_relationships(const ImportTable& table, const std::vector<ImportTable>* listed,
                                  std::string& clauses);

    ImportProgress& progress_;
    OdbcHandle env_;
    OdbcHandle dbc_;
    OdbcHandle catalog_;  // the table list and the query's description
    SourceDbms dbms_ = SourceDbms::other;
    char quote_ = '"';
    bool access_wide_text_ = true;  // an Access file from Jet 4 on: text in UTF-16
    std::string access_path_;       // the Access file a dsn of kind access names
    std::string access_definition_table_;
    AccessTableDefinition access_definition_;
};

}  // namespace kro::import
