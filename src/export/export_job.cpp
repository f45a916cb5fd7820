#include "export/export_job.h"

#include <cstdio>
#include <ctime>
#include <strings.h>

#include "platform/text_convert.h"
#include "common/timestamp.h"
#include "connection/ssh_tunnel.h"
#include "export/dump_writer.h"
#include "export/export_settings.h"
#include "report/report_body.h"
#include "mail/report_texts.h"
#include "report/process_state.h"
#include "report/reporting.h"

namespace {

// What the progress callback needs: the report the lines also go to.
struct ProgressTarget {
    ReportBody* report;
};

void on_progress(void* user, const char* name, long, int number) {
    static const char* const kFormats[] = {
        "Exporting Database %s...", "Exporting table %s...", "Exporting view %s...",
        "Exporting procedure %s...", "Exporting function %s...", "Exporting trigger %s...",
        "Exporting event %s...",
    };
    ReportBody& report = *static_cast<ProgressTarget*>(user)->report;
    if (number >= kDatabaseStarted && number <= kEventStarted) {
        StrBuf line;
        line.format(kFormats[number], name ? name : "");
        if (number == kTableStarted) {
            // "Export successful..." completes this line.
            report.append(line.c_str(), line.c_str());
            std::printf("%s", line.c_str());
        } else {
            add_to_report(report, line.c_str(), line.c_str());
            std::printf("%s\n", line.c_str());
        }
    } else if (number == kObjectFinished) {
        add_to_report(report, "Export successful...", "Export successful...");
        std::printf("Export successful...\n");
    } else {
        return;  // row counts and group names are not shown
    }
    flush_outputs();
}

int run_export(ExportJob& job, int values_are_utf8) {
    if (job.source.use_ssh && !start_job_tunnels(&job.source, nullptr)) {
        report_failure("Could not create SSH tunnel process");  // no report mail
        return 0;
    }
    SshClientStopper stop_ssh(job.source);
    ReportBody report;
    StrBuf start_time = asctime_text();
    start_report(report, ReportKind::export_job, start_time.c_str());

    DumpWriter writer;
    writer.set_report(&report);
    configure_dump_writer(job, writer, values_are_utf8);
    ProgressTarget target{&report};
    volatile int cancel = 0;
    int result = writer.run(on_progress, &target, &cancel);
    end_report_work(report);

    int success = 0;
    if (result == kDumpSucceeded) {
        success = 1;
    } else if (result == kDumpFileNotOpened) {
        report_failure("Error opening export file for dump. Make sure the file or directory exists.");
    } else {
        report_failure(writer.last_error().empty() ? "Error in Connection\r\n" : writer.last_error().c_str());
    }
    StrBuf end_time = asctime_text();
    send_report_if_asked(job.report, ReportKind::export_job, success, report, end_time.c_str());
    return success;
}

}  // namespace

int configure_dump_writer(ExportJob& job, DumpWriter& writer, int values_are_utf8) {
    const ExportOptions& o = job.options;
    writer.set_connection(job.source, job.http);

    writer.set_charset(o.usecharset.c_str());
    if (o.usecharset.compare_nocase("utf8") != 0 && values_are_utf8)
        writer.set_database_list(utf8_to_ansi(job.source.database.view()).c_str());
    else
        writer.set_database_list(job.source.database.c_str());
    writer.set_all_databases(job.all_databases);
    if (job.all_databases) writer.set_include_mysql_db(job.include_mysql_db);

    int output_ok = 1;
    if (job.to_file)
        writer.set_file_path(job.path.c_str());
    else
        output_ok = writer.set_directory(job.path.c_str(), job.timestampdir);

    writer.set_timestamp(job.timestamp);
    writer.set_append(o.appendtofile);
    writer.set_autocommit_off(o.autocommit);
    writer.set_bulk_insert(o.bulkinsert);
    if (o.bulkinsert) writer.set_bulk_size(o.bulksize);
    if (!o.usecharset.empty()) writer.set_charset(o.usecharset.c_str());
    writer.set_complete_insert(o.completeinsert);
    writer.set_create_database(o.createdb);
    writer.set_disable_keys(o.disablekeys);
    writer.set_fk_checks_off(o.fkchecks);
    writer.set_flush_logs(o.flushlogs);
    writer.set_flush_master(o.flushmaster);
    writer.set_flush_slave(o.flushslave);
    writer.set_insert_delayed(o.insertdelayed);
    writer.set_lock_tables_read(o.locktableread);
    writer.set_lock_tables_write(o.locktablewrite);
    writer.set_single_transaction(o.singletransaction);
    writer.set_structure_only(o.structureonly);
    writer.set_use_database(o.usedb);

    if (job.all_objects) {
        writer.set_all_objects(1);
    } else {
        for (int kind = 0; kind < kObjectKinds; ++kind) {
            writer.set_all_of_kind(static_cast<ObjectKind>(kind), job.all_of_kind[kind]);
            writer.set_object_list(static_cast<ObjectKind>(kind), std::move(job.lists[kind]));
            job.lists[kind].clear();
        }
    }

    writer.set_drop_objects(o.dropobjects);
    writer.set_chunk_insert(o.chunkinsert);
    if (job.source.use_http)
        writer.set_page_size(o.chunkinsert && o.chunklimit >= 1 && o.chunklimit <= 1000 ? o.chunklimit : 1000);
    else if (o.chunkinsert)
        writer.set_page_size(o.chunklimit);

    writer.set_bulk_size(o.bulksize);
    writer.set_banner(banner_text.c_str());
    writer.set_abort_on_error(job.abortonerror);
    writer.set_create_view(o.createview);
    writer.set_create_procedure(o.createprocedure);
    writer.set_create_function(o.createfunction);
    writer.set_create_trigger(o.createtrigger);
    return output_ok;
}

int export_job_entry(tinyxml2::XMLDocument& doc, long, FILE*, FILE*, int values_are_utf8) {
    ExportJob job;
    int code = 0;
    StrBuf error;
    if (!read_export_job(doc, job, values_are_utf8, code, error)) {
        report_failure(error.c_str());
        return 0;
    }
    if (!validate_export_job(job)) return 0;

    std::time_t started = std::time(nullptr);
    print_job_started();
    int success = run_export(job, values_are_utf8);
    std::time_t ended = std::time(nullptr);
    std::printf("\r\n\r\nTotal time taken - %u sec(s)\r\n", static_cast<unsigned>(ended - started));
    flush_outputs();
    return success;
}
