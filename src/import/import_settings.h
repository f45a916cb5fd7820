// The settings of an `odbcimport` job file: the target server, the ODBC source, what to
// import (tables with their columns and actions, or one query) and the report mail.
// Owned by the job; read once before anything connects.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "connection/connection_info.h"
#include "mail/mail_settings.h"

namespace tinyxml2 {
class XMLElement;
}

namespace kro::import {

// What a column's default is, as the target gets it.
enum class DefaultKind {
    none,
    number,        // a plain number, written as it is
    text,          // a string, escaped as a literal wherever it is written
    current_time,  // NOW() or CURRENT_TIMESTAMP on a date-time column
    left_out,      // an expression the target cannot run (the source's own): no default
};

struct ImportColumn {
    std::string source_name;  // "<ignore>": a target column that gets no source value
    std::string target_name;
    std::string type;    // MySQL type name, "varchar"
    std::string length;  // "M" or "M,D"
    int scale = 0;       // D of the length text
    // By default_kind: the number, the string (not escaped), the time expression, or the
    // default as the source or job file gave it when it is left out.
    std::string default_value;
    DefaultKind default_kind = DefaultKind::none;
    std::string comment;
    int odbc_type = 0;
    long display_size = 0;
    bool primary = false, binary = false, not_null = false, is_unsigned = false;
    bool auto_increment = false, zero_fill = false, numeric = false;
};

// What happens in the source after a row was copied.
struct SourceRowAction {
    std::vector<std::pair<std::string, std::string>> updates;  // column, SQL expression
    bool delete_row = false;
    bool any() const { return delete_row || !updates.empty(); }
};

struct ImportTable {
    std::string source_name;
    std::string schema;
    std::string target_name;
    std::string comment;
    std::string engine;
    bool create_indexes = true;
    bool create_foreign_keys = true;
    std::string table_conflict = "import";  // "abort", "recreate", else keep
    std::string row_conflict = "update";    // "update", "noupdate", "abort", else plain INSERT
    bool import_data = true;
    std::string where_clause;
    std::string create_statement;  // used instead of the generated CREATE TABLE when set
    bool source_defined_columns = true;
    bool has_long_columns = false;
    std::vector<ImportColumn> columns;
    SourceRowAction row_action;
};

// The type of a job-file column sets the column's numeric flag and its table's
// long-columns flag.
void apply_column_type_flags(ImportColumn& column, ImportTable& table);
// D of an "M,D" length text (0 without a comma).
int scale_of_length(const std::string& length);

struct ImportSettings {
    connection::ConnectionInfo target;  // the job file's `source` element
    connection::HttpTunnelSettings http;
    int abort_on_error = 0;
    std::string setting_error;  // `onerror` neither yes nor no
    mail::ReportRequest report;

    std::string source_kind = "system";  // "system", "file", "access", "excel", "csv"
    std::string source_name;
    std::string source_user;
    std::string source_password;

    std::string import_kind = "data";  // "data" or "query"
    std::string import_query;
    std::string query_table;
    std::string export_mode = "data";
    std::string export_file;

    bool all_tables = false;
    std::vector<ImportTable> tables;

    ImportSettings() { connection::reset_connection_info(target); }
    bool is_query_import() const;
};

// The settings the job checks before it starts: `source`, `onerror`, `sendreport`.
void read_import_frame(const tinyxml2::XMLElement* job, ImportSettings& settings, int values_are_utf8);
// The first failing check reported (report_failure); 0 then, else 1.
int validate_import_frame(const ImportSettings& settings);

// The rest of the job file. 0 when it is invalid; error then holds what to report before
// the invalid-file text ("<source> tag error!\n", the missing element, or empty).
int read_import_body(const tinyxml2::XMLElement* job, ImportSettings& settings, int values_are_utf8,
                     std::string& error);

}  // namespace kro::import
