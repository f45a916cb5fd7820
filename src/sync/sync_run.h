// SyncRun: one run of a sync job, from its start and connections through its tables to
// its end, its totals and its report. Its parts live in the files named for them.
#pragma once

#include <string>
#include <vector>

#include "common/str_buf.h"
#include "connection/connect.h"
#include "connection/connection_info.h"
#include "connection/ssh_tunnel.h"
#include "platform/status_block.h"
#include "report/report_body.h"
#include "sync/sync_context.h"
#include "sync/sync_script.h"
#include "sync/sync_settings.h"
#include "sync/table_order.h"

namespace kro::sync {

class SyncRun {
public:
    SyncRun(SyncSettings& settings, platform::StatusBlock& status) : settings_(settings), status_(status) {}

    int run();

private:
    int connect_side(SyncSide& side, connection::ServerConnection& conn, connection::ConnectionInfo& info,
                     const connection::HttpTunnelSettings& http, const char* side_name, const char* version_error);
    int check_versions();
    int check_distinct_databases();
    // A run that ends before its tables: the connections are closed and the failure
    // report is mailed when one is asked for. Always 0.
    int fail_early();
    int check_checksum_function();
    int all_tables_loop(SyncContext& ctx);
    int listed_tables_loop(SyncContext& ctx);
    // The tables in the order foreign keys need (table_order.h); entries: null for each
    // table of an all-tables run.
    int run_tables(SyncContext& ctx, const std::vector<const SyncTableEntry*>& entries,
                   const std::vector<std::string>& names);
    // One table in both directions (two-way) or one; -1 ends the loop (abortonerror).
    int one_table(SyncContext& ctx, const SyncTableEntry* entry, const std::string& name, TablePass pass);
    int sync_both_ways(SyncContext& ctx, connection::TunnelResult* keys, const SyncTableEntry* entry);
    bool in_target(const std::string& name) const;
    void report_incompatible(SyncContext& ctx, const common::StrBuf& error);
    bool triggers_allowed(SyncContext& ctx);
    void append_script(SyncContext& ctx, const char* text) {
        if (ctx.writes_script()) ctx.script().append(text);
    }
    // A script that could not be written ends the run: what it would say is lost.
    bool script_failed(SyncContext& ctx) const { return ctx.writes_script() && script_.failed(); }
    // land_table, with the rows of a pass that landed added to the run's totals.
    int land(SyncContext& ctx, int ok);
    // One table's outcome, for the run's totals.
    void count_table(int ok) { ++(ok == 1 ? totals_.synced : totals_.failed); }
    // What the closing log line says the sync did.
    void set_summary(SyncMode mode);

    struct Totals {
        unsigned synced = 0, failed = 0;
        unsigned long long inserted = 0, updated = 0, deleted = 0;
    };
    Totals totals_;

    SyncSettings& settings_;
    platform::StatusBlock& status_;
    report::ReportBody report_;
    // The SSH clients stop after the connections through them are closed.
    connection::SshClientStopper stop_source_{settings_.source};
    connection::SshClientStopper stop_target_{settings_.target};
    connection::ServerConnection source_conn_, target_conn_;
    SyncSide source_, target_;
    SyncScript script_;
    std::vector<std::string> target_tables_;
};

}  // namespace kro::sync
