// The writer's run: connecting, the loop over objects with its failure accounting, and the
// dump's character set.
#include "export/dump_writer.h"

#include <cstdlib>
#include <strings.h>

#include "common/html_text.h"
#include "common/sql_comment.h"
#include "connection/connect.h"
#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "platform/text_convert.h"
#include "report/process_state.h"
#include "report/reporting.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::export_ {

const char kObjectFileOpenError[] = "Error opening ExportFile. Please check details of your schema file.";

DumpWriter::DumpWriter(const ExportJob& job, int values_are_utf8) : job_(job) {
    ConnectionInfo& server = job_.source;
    if (options().usecharset.compare_nocase("utf8") != 0 && values_are_utf8)
        database_list_.assign(utf8_to_ansi(server.database.view()).c_str(), 1);
    else
        database_list_.copy_from(server.database);
    server.database.clear();
    // The several databases' names take the same way as the list's.
    for (DatabaseSelection& selection : job_.databases)
        if (options().usecharset.compare_nocase("utf8") != 0 && values_are_utf8)
            selection.name = utf8_to_ansi(selection.name);
    server.http_timeout = 100000;
    if (!job_.all_databases) job_.include_mysql_db = 0;

    if (job_.to_file)
        output_.set_file_path(job_.path.c_str());
    else
        output_.set_directory(job_.path.c_str(), job_.timestampdir,
                              job_.all_databases || job_.databases.size() > 1);
    output_.set_timestamp(job_.timestamp);
    output_.set_append(options().appendtofile);
    output_.set_compression(options().compression);
    output_.set_keep(options().keep);

    // Over the HTTP tunnel every page is a request of its own, so pages stay small there.
    // A direct connection reads each table as one unbuffered stream, chunkinsert or not:
    // memory stays flat all the same, pages by offset cost the square of the rows, and the
    // INSERT statements do not depend on the pages, so the dump's text is the same.
    const ExportOptions& o = options();
    if (server.use_http)
        page_size_ = o.chunkinsert && o.chunklimit >= 1 && o.chunklimit <= 1000 ? o.chunklimit : 1000;
}

DumpWriter::~DumpWriter() = default;

// ---------------------------------------------------------------------------------------
// Failures

// A failed table or object: the file-open text, else the stored error, else what the
// connection says now. A failed write was reported where it happened. After a stop it is
// only counted.
void DumpWriter::report_object_failure(bool file_open_failed) {
    // After a stop, what failed is the stop's doing (a lost connection): the runner says the
    // run was stopped, and that is the first thing the user must read.
    if (source_.cancelled()) {
        ++errors_;
        return;
    }
    if (output_.failed()) {
        note_output_failure();
        return;
    }
    StrBuf text;
    if (file_open_failed) {
        text.assign(kObjectFileOpenError, 1);
        source_.record_error(kObjectFileOpenError);
    } else if (!source_.error_text().empty()) {
        text.copy_from(source_.error_text());
    } else {
        text.assign(source_.tunnel().error(source_.handle()), 1);
        source_.record_error(text.c_str());
    }
    report_failure_no_entry(text.c_str());
    reported_error_.copy_from(text);
    if (report_) add_to_report(*report_, html_escaped(text.c_str()).c_str(), text.c_str());
    ++errors_;
}

void DumpWriter::note_output_failure() {
    if (reported_error_.compare(output_.last_write_error()) != 0) {
        ++errors_;
        reported_error_.copy_from(output_.last_write_error());
        source_.record_error(output_.last_write_error().c_str());
        if (report_) {
            const char* text = output_.last_write_error().c_str();
            add_to_report(*report_, html_escaped(text).c_str(), text);
        }
    }
}

// Writes the buffer through to the file; 0 (the failure counted) when that failed.
int DumpWriter::flush_output() {
    if (output_.flush()) return 1;
    note_output_failure();
    return 0;
}

void DumpWriter::print_warning(const StrBuf& text) {
    print_and_log(text.c_str());
    print_console("\n");
    if (report_) add_to_report(*report_, html_escaped(text.c_str()).c_str(), text.c_str());
}

// Each object in turn; a failing one is reported and the next one follows unless the run
// is to stop (abortonerror, cancel, a file that cannot be opened or written).
int DumpWriter::each_object(const std::vector<std::string>& names,
                            const std::function<int(const std::string&, bool&)>& dump_one, bool finished_event) {
    const bool own_files = output_.form() == OutputForm::per_object;
    for (const std::string& name : names) {
        if (must_stop()) return 0;
        bool file_open_failed = false;
        source_.clear_error();
        pending_warning_.clear();
        const unsigned errors_before = errors_;
        int ok = dump_one(name, file_open_failed);
        // "Export successful..." only once the object's text is in its file.
        if (ok && own_files) {
            ok = output_.finish(errors_ == errors_before);
            if (!ok) note_output_failure();
        } else if (ok) {
            ok = flush_output();
        }
        if (!ok) {
            report_object_failure(file_open_failed);
            if (own_files) output_.finish(false);
            if (job_.abortonerror || file_open_failed || must_stop()) return 0;
            continue;
        }
        if (finished_event) events_(name.c_str(), 0, kObjectFinished);
        if (!pending_warning_.empty()) print_warning(pending_warning_);
    }
    return 1;
}

// The session speaks the dump's character set, so that the bytes written are the bytes the
// dump's SET NAMES line announces; "utf8" is four bytes wide where the server has utf8mb4.
void DumpWriter::set_names_on_connection() {
    text_charset_.reset();
    if (options().usecharset.empty()) return;
    std::string name = effective_charset();
    StrBuf text;
    text.format("SET NAMES '%s'", escape_literal(source_.tunnel(), source_.handle(), name).c_str());
    source_.send(text.c_str());
    source_.tunnel().set_charset(name.c_str());
}

std::string DumpWriter::effective_charset() const {
    if (options().usecharset.compare_nocase("utf8") == 0 && server_has_utf8mb4(source_.tunnel(), source_.handle()))
        return "utf8mb4";
    return options().usecharset.str();
}

// ---------------------------------------------------------------------------------------
// Run

int DumpWriter::connect() {
    ConnectSetup setup;
    setup.want_utf8 = 0;
    setup.encode_data = true;
    setup.side = "source";
    if (!open_connection(source_.server(), job_.source, job_.http, setup)) {
        source_.record_error("");  // reported where it happened
        return 0;
    }
    source_.reset_unless_closed();
    if (!fetch_server_version(source_.server())) {
        source_.record_connection_error();
        source_.close();
        return 0;
    }
    // Over the HTTP tunnel every request is a session of its own: the time zone goes with
    // each page instead (select_rows).
    if (!source_.tunnel().is_http() && !source_.send(kUtcSession)) {
        source_.close();
        return 0;
    }
    return 1;
}

int DumpWriter::run(DumpProgressFn progress, void* user, const std::atomic<bool>* cancel) {
    events_ = DumpEvents{progress, user};
    source_.set_cancel(cancel);
    errors_ = 0;
    source_.clear_error();
    reported_error_.clear();

    if (!connect()) return kDumpFailed;
    const bool single_file = output_.form() == OutputForm::none || output_.form() == OutputForm::single_file;
    if (single_file && !output_.open_single()) return kDumpFileNotOpened;
    packet_limit_kb_ = packet_allowance(source_.tunnel(), source_.server().handle);
    max_packet_bytes_ = server_max_packet();

    int ok = job_.all_databases            ? dump_all_databases()
             : job_.databases.size() > 1 ? dump_selected_databases()
                                         : dump_database_list();
    // The one file is complete only when nothing failed on the way.
    if (single_file && !output_.finish(ok && errors_ == 0)) {
        note_output_failure();
        ok = 0;
    }
    source_.close();
    return ok && errors_ == 0 ? kDumpSucceeded : kDumpFailed;
}

unsigned long DumpWriter::server_max_packet() {
    int ok = 0;
    ResultPtr result = source_.query("select @@max_allowed_packet", ok);
    MYSQL_ROW row = ok && result ? source_.tunnel().fetch_row(result.get()) : nullptr;
    return row && row[0] ? std::strtoul(row[0], nullptr, 10) : 0;
}

}  // namespace kro::export_
