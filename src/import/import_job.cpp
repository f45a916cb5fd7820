#include "import/import_job.h"

#include <chrono>
#include <cstdio>
#include <strings.h>
#include <tinyxml2.h>

#include "common/timestamp.h"
#include "connection/ssh_tunnel.h"
#include "import/odbc_import.h"
#include "import/table_rows.h"
#include "mail/report_texts.h"
#include "platform/output_file.h"
#include "platform/stop_signals.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::import {

void ImportJob::table_failed(const std::string& text) {
    some_table_failed_ = true;
    ++tables_failed_;
    progress_.report(kImportFailed, text);
}

void ImportJob::warn_left_out_defaults(const ImportTable& table) {
    for (const ImportColumn& c : table.columns) {
        // A counter's default (a sequence) is what AUTO_INCREMENT does anyway.
        if (c.default_kind != DefaultKind::left_out || c.auto_increment) continue;
        StrBuf text;
        text.format("WARNING : Column `%s` of table %s: its default %s cannot be carried to MySQL; the column is"
                    " created without a default.\r\n",
                    c.target_name.c_str(), table.target_name.c_str(), quoted_for_report(c.default_value, 200).c_str());
        progress_.warning(text.str());
    }
}

int ImportJob::prepare_table(ImportTable& table, TableKeys& keys) {
    for (char& c : table.target_name)
        if (c == '.' || c == '/' || c == '\\') c = '_';
    target_.set_table(table.source_name);
    if (table.source_defined_columns) {
        if (!source_.read_columns(table, target_.server_5()) || !source_.keys_from_catalog(table, keys)) return 0;
    } else {
        source_.keys_from_job_file(table, keys);
    }
    // The source's indexes may name columns the job file leaves out.
    keep_keys_of_columns(table, keys);
    fit_keys(table, keys);
    warn_left_out_defaults(table);
    return 1;
}

void ImportJob::fit_keys(ImportTable& table, const TableKeys& keys) {
    fit_key_columns(table, keys.primary);
    for (const IndexDef& index : keys.indexes) {
        if (!index.unique) continue;
        std::vector<std::string> columns;
        for (const IndexColumn& c : index.columns) columns.push_back(c.name);
        fit_key_columns(table, columns);
    }
    for (ImportColumn& c : table.columns) c.scale = scale_of_length(c.length);
}

int ImportJob::transfer(ImportTable& table, const std::string* query) {
    TableRows rows(table, source_, target_, progress_);
    const int ok = rows.transfer(query, s_.target.database.view());
    if (ok) {
        ++tables_imported_;
        rows_imported_ += static_cast<unsigned long long>(rows.rows_taken());
    }
    return ok;
}

std::string ImportJob::summary() const {
    return "Imported " + std::to_string(tables_imported_) + " tables, " + std::to_string(tables_failed_) + " failed; " +
           std::to_string(rows_imported_) + " rows.";
}

int ImportJob::import_tables() {
    if (s_.all_tables && !source_.list_all_tables(s_.tables)) return 0;
    // Nothing to do is not an error, but a run that did nothing must say so.
    if (s_.all_tables && s_.tables.empty())
        progress_.warning("WARNING: the source has no tables: there was nothing to import");
    for (std::size_t i = 0; i < s_.tables.size();) {
        if (platform::stop_requested()) return 0;  // no table is begun once the run is being stopped
        ImportTable& table = s_.tables[i];
        TableKeys keys;
        bool ok = prepare_table(table, keys);
        if (ok) {
            progress_.report(kSchemaStarted, table.target_name);
            const int made = make_table(table, keys, false);
            if (made == kStopJob) return 0;
            ok = made == 1;
        }
        if (!ok) {
            table_failed(table.target_name);
            if (s_.abort_on_error) return 0;
            s_.tables.erase(s_.tables.begin() + static_cast<long>(i));
            continue;
        }
        progress_.report(kSchemaDone, table.target_name);
        ++i;
    }
    if (!foreign_key_pass()) return 0;
    for (ImportTable& table : s_.tables) {
        if (platform::stop_requested()) return 0;
        if (!table.import_data) continue;
        target_.set_table(table.source_name);
        progress_.report(kDataStarted, table.target_name);
        if (!transfer(table, nullptr)) {
            table_failed(table.target_name);
            if (s_.abort_on_error) return 0;
            continue;
        }
        progress_.report(kDataDone, table.target_name);
    }
    return 1;
}

int ImportJob::import_query() {
    if (s_.tables.empty()) {
        ImportTable table;
        table.target_name = s_.query_table;
        table.source_defined_columns = false;
        table.create_indexes = false;
        if (!source_.describe_query(s_.import_query, table, target_.server_5())) return 0;
        s_.tables.push_back(std::move(table));
    } else {
        s_.tables.resize(1);
    }
    ImportTable& table = s_.tables.front();
    TableKeys keys;
    target_.set_table(table.source_name);
    if (table.source_defined_columns) {
        // A listed table without <columns>: the columns are the query's, the keys those of
        // the source table it names, as far as the query selects their columns.
        if (!source_.describe_query(s_.import_query, table, target_.server_5()) ||
            !source_.keys_from_catalog(table, keys)) {
            table_failed(table.target_name);
            return 0;
        }
    }
    progress_.report(kSchemaStarted, table.target_name);
    if (!table.source_defined_columns && !table.source_name.empty()) source_.keys_from_job_file(table, keys);
    keep_keys_of_columns(table, keys);
    fit_keys(table, keys);
    warn_left_out_defaults(table);
    if (make_table(table, keys, true) != 1) {
        table_failed(table.target_name);
        return 0;
    }
    progress_.report(kSchemaDone, table.target_name);
    source_.read_quote_char();
    progress_.report(kDataStarted, table.target_name);
    if (!transfer(table, &s_.import_query)) {
        table_failed(table.target_name);
        return 0;
    }
    progress_.report(kDataDone, table.target_name);
    return 1;
}

ImportJob::Outcome ImportJob::run() {
    if (!source_.open(s_)) return Outcome::stopped;
    source_.read_dbms();
    if (!source_.set_up_session()) return Outcome::stopped;
    bool execute = true;
    if (strcasecmp(s_.export_mode.c_str(), "data") != 0) {
        // No statement of this mode is settled: the file is created and nothing is executed.
        FILE* file = std::fopen(s_.export_file.c_str(), "w");
        if (!file) {
            report_failure("Write Error! ");
            return Outcome::stopped;
        }
        std::fclose(file);
        execute = false;
    }
    if (!target_.connect(s_.target, s_.http, execute)) return Outcome::stopped;
    source_.read_quote_char();
    int ok = s_.is_query_import() ? import_query() : import_tables();
    if (!target_.is_http()) {
        target_.set_table("");
        if (!target_.set_foreign_key_checks(true)) ok = 0;
    }
    if (!ok) return Outcome::stopped;
    return some_table_failed_ ? Outcome::tables_failed : Outcome::succeeded;
}

namespace {

int run_import(ImportSettings& settings, const tinyxml2::XMLElement* job, int values_are_utf8) {
    if (settings.target.use_ssh && !start_job_tunnels(&settings.target, nullptr)) return 0;
    SshClientStopper stop_ssh(settings.target);
    ReportBody body;
    StrBuf start_time = asctime_text();
    start_report(body, ReportKind::import_job, start_time.c_str());
    ImportProgress progress(body);
    ImportJob::Outcome outcome = ImportJob::Outcome::stopped;
    std::string error;
    if (!read_import_body(job, settings, values_are_utf8, error)) {
        if (!error.empty()) report_failure(error.c_str());
        report_failure("ERROR: Invalid XML file...\r\n");
    } else if (!settings.all_tables && settings.tables.empty() && !settings.is_query_import()) {
        // Checked before anything connects, so that no database is created for nothing.
        report_failure("ERROR: The <tables> element lists no table to import.\r\n");
    } else {
        ImportJob import(settings, progress);
        outcome = import.run();
        set_job_summary(import.summary());
    }
    end_report_work(body);
    const int ok = outcome == ImportJob::Outcome::succeeded ? 1 : 0;
    // A job that went to its end with failed tables has reported each of them.
    if (outcome == ImportJob::Outcome::stopped) report_failure("\r\nERROR: Import aborted...");
    StrBuf end_time = asctime_text();
    send_report_if_asked(settings.report, ReportKind::import_job, ok, body, end_time.c_str());
    return ok;
}

}  // namespace

int odbc_import_entry(tinyxml2::XMLDocument& doc, long, FILE*, FILE*, int values_are_utf8) {
    const auto started = std::chrono::steady_clock::now();
    ImportSettings settings;
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    const tinyxml2::XMLElement* job = root ? root->FirstChildElement() : nullptr;
    read_import_frame(job, settings, values_are_utf8);
    if (!validate_import_frame(settings)) return 0;
    print_job_started();
    int ok = run_import(settings, job, values_are_utf8);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    print_time_taken("\r\n\r\n", static_cast<unsigned>(seconds.count()));
    flush_outputs();
    return ok;
}

}  // namespace kro::import
