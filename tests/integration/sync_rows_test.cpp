// The row statements and the sessions they run in, driven directly: an INSERT the target
// refuses becomes an UPDATE only when the row is there already, any other refusal fails;
// each change's outcome names its affected rows or the key it collided on, and only what
// the target took reaches the script; a lost session comes back with the run's settings,
// but never hides changes it took.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "connection/connect.h"
#include "connection/statements.h"
#include "mariadb_fixture.h"
#include "platform/status_block.h"
#include "report/process_state.h"
#include "report/report_body.h"
#include "sync/column_values.h"
#include "sync/row_apply.h"
#include "sync/statement_sink.h"
#include "sync/sync_script.h"
#include "sync/sync_statements.h"
#include "sync/table_facts.h"
#include "sync_fixture.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::sync;

namespace {

// Both sides on the test server, each in its database, with the run's session settings.
class SyncRows : public testing::Test {
protected:
    void SetUp() override {
        log_file = std::fopen(dir.file("sync.log").c_str(), "a+");
        session_file = std::fopen(dir.file("session.xml").c_str(), "w");
        recreate_database("kro_sync_rows_src");
        recreate_database("kro_sync_rows_tgt");
        open_side(source, source_conn, source_info, "kro_sync_rows_src");
        open_side(target, target_conn, target_info, "kro_sync_rows_tgt");
    }
    void TearDown() override {
        std::fclose(log_file);
        std::fclose(session_file);
        log_file = session_file = nullptr;
    }
    void open_side(SyncSide& side, ServerConnection& conn, ConnectionInfo& info, const char* database) {
        info = mariadb_connection_info();
        info.database.assign(database, 1);
        ASSERT_TRUE(open_connection(conn, info, HttpTunnelSettings{}));
        side.conn = &conn;
        side.info = &info;
        side.database = database;
        ASSERT_TRUE(set_up_sync_session(side));
    }
    std::string value(SyncSide& side, const char* sql) {
        ResultPtr result = query_side(side, sql);
        MYSQL_ROW row = result ? side.tunnel().fetch_row(result.get()) : nullptr;
        return row && row[0] ? row[0] : "(none)";
    }
    std::string log() {
        std::fflush(log_file);
        return read_file(dir.file("sync.log"));
    }

    TempDir dir;
    ServerConnection source_conn, target_conn;
    ConnectionInfo source_info, target_info;
    SyncSide source, target;
    SyncScript script;
    ReportBody report;
    StatusBlock status;
};

}  // namespace

TEST_F(SyncRows, OnlyARowThatIsThereAlreadyTurnsAnInsertIntoAnUpdate) {
    // Rows of 3 KB, in a transaction as in a run: a round trip is cut by its byte bound
    // after about 340 statements, and the one that did not fit starts the next trip.
    mariadb_exec("use kro_sync_rows_src;"
                 "create table child (id int primary key, parent int, v varchar(3100));"
                 "insert into child select seq, if(seq = 705, 99, 10), concat('v', seq, repeat('.', 3000))"
                 " from seq_1_to_710;"
                 "use kro_sync_rows_tgt; create table parent (id int primary key); insert into parent values (10);"
                 "create table child (id int primary key, parent int, v varchar(3100),"
                 " foreign key (parent) references parent (id));"
                 "insert into child values (300, 10, 'old');");
    ASSERT_EQ(value(target, "set autocommit = 0"), "(none)");
    target.autocommit_off = true;
    SyncContext ctx(source, target, SyncMode::direct, script, report, status);
    ctx.plan.table = ctx.plan.table_label = "`child`";
    ctx.plan.keys = {KeyColumn{"id", KeyClass::integer, true, 0}};
    ctx.plan.index_name = "PRIMARY";
    ResultPtr fields = query_side(source, "show full fields from child");
    ctx.plan.columns = parse_columns(source.tunnel(), fields.get());
    choose_row_columns(ctx.plan);
    ResultPtr rows = query_side(source, "select id, parent, v, md5(v) as __crc from child order by id");
    ASSERT_TRUE(rows);
    decide_table_facts(ctx);

    // Row 300 is there, inside the first trip: its insert becomes an update, and the rows
    // after it still arrive, each once.
    std::vector<RowAction> entries;
    for (std::uint32_t row = 1; row <= 700; ++row) entries.push_back({row, RowActionCode::insert_row});
    std::size_t next = 0;
    testing::internal::CaptureStdout();
    const int all_in = apply_inserts(ctx, rows.get(), entries, next);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(all_in, 1);
    EXPECT_GT(ctx.plan.facts.change_batch, 1u);
    EXPECT_EQ(next, 700u);
    EXPECT_EQ(ctx.counts.inserted, 699u);
    EXPECT_EQ(ctx.counts.updated, 1u);
    ASSERT_EQ(commit_side(target), 1);
    EXPECT_EQ(client_query("select count(*), sum(v = concat('v', id, repeat('.', 3000))) from kro_sync_rows_tgt.child"),
              "700\t700\n");

    // A foreign key refuses row 705: a failed statement, reported, and counted as nothing;
    // the rows before it were taken, none after it was sent.
    entries.clear();
    for (std::uint32_t row = 701; row <= 710; ++row) entries.push_back({row, RowActionCode::insert_row});
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply_inserts(ctx, rows.get(), entries, next), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ctx.counts.inserted, 703u);
    EXPECT_EQ(ctx.counts.updated, 1u);
    EXPECT_NE(log().find("Error No. 1452"), std::string::npos) << log();
    EXPECT_NE(out.find("There was an error while executing a query."), std::string::npos) << out;
    ASSERT_EQ(commit_side(target), 1);
    EXPECT_EQ(client_query("select group_concat(id) from kro_sync_rows_tgt.child where id > 700"), "701,702,703,704\n");
}

TEST_F(SyncRows, ALostSessionComesBackWithItsSettingsButNeverHidesTheChangesItTook) {
    mariadb_exec("create table kro_sync_rows_tgt.t (id int primary key)");
    target.autocommit_off = true;
    ASSERT_EQ(value(target, "set autocommit = 0"), "(none)");
    SyncContext ctx(source, target, SyncMode::direct, script, report, status);
    ctx.plan.table = ctx.plan.table_label = "`t`";

    // Nothing uncommitted: the statement is sent again on a new session set up as before.
    mariadb_exec("kill " + value(target, "select connection_id()"));
    EXPECT_EQ(value(target, "select concat(@@time_zone, ' ', @@autocommit + 0)"), "+00:00 0");

    // A change not yet committed is gone with its session: the next statement fails and
    // says so instead of running in a new session as if nothing had happened.
    StrBuf first("insert into t values (1)", 1);
    ASSERT_EQ(apply_statement(ctx, target, first), 1);
    EXPECT_TRUE(target.uncommitted);
    mariadb_exec("kill " + value(target, "select connection_id()"));
    StrBuf second("insert into t values (2)", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply_statement(ctx, target, second), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(log().find("The connection to the server was lost with changes not yet committed."), std::string::npos)
        << log();
    EXPECT_TRUE(ctx.counts.session_lost);
    EXPECT_EQ(client_query("select count(*) from kro_sync_rows_tgt.t"), "0\n");

    // The next statement opens a new session; committed work stays.
    StrBuf third("insert into t values (3)", 1);
    ASSERT_EQ(apply_statement(ctx, target, third), 1);
    ASSERT_EQ(commit_side(target), 1);
    EXPECT_EQ(client_query("select id from kro_sync_rows_tgt.t"), "3\n");
}

// A write a lost connection broke off may have taken effect where the table cannot roll
// back: it is sent again only where the server rolled it back.
TEST_F(SyncRows, AWriteIsSentAgainAfterALostConnectionOnlyWhereTheServerRolledItBack) {
    mariadb_exec("create table kro_sync_rows_tgt.m (id int primary key) engine = MyISAM;"
                 "create table kro_sync_rows_tgt.i (id int primary key) engine = InnoDB");
    target.autocommit_off = true;
    ASSERT_EQ(value(target, "set autocommit = 0"), "(none)");
    SyncContext ctx(source, target, SyncMode::direct, script, report, status);
    for (const char* table : {"m", "i"}) {
        SCOPED_TRACE(table);
        const bool rolls_back = std::string(table) == "i";
        TablePlan plan;
        plan.table = plan.table_label = std::string("`") + table + "`";
        ctx.begin_table(plan);
        decide_table_facts(ctx);
        EXPECT_EQ(ctx.plan.facts.rolls_back, rolls_back);
        mariadb_exec("kill " + value(target, "select connection_id()"));
        StrBuf insert(("insert into " + plan.table + " values (1)").c_str(), 1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(apply_statement(ctx, target, insert), rolls_back ? 1 : 0);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(commit_side(target), 1);
        EXPECT_EQ(client_query(std::string("select count(*) from kro_sync_rows_tgt.") + table), rolls_back ? "1\n" : "0\n");
    }
}

TEST_F(SyncRows, EachChangeTellsWhatBecameOfItAndOnlyWhatTheTargetTookIsScripted) {
    mariadb_exec("create table kro_sync_rows_tgt.u (id int primary key, name varchar(40), unique key `by name` (name));"
                 "insert into kro_sync_rows_tgt.u values (1, 'x'' for key ''fake')");
    TempDir out;
    ASSERT_EQ(script.open(out.file("s.sql")), 1);
    SyncContext ctx(source, target, SyncMode::direct_and_script, script, report, status);
    ctx.plan.table = ctx.plan.table_label = "`u`";

    StrBuf taken("insert into u values (2, 'a'), (3, 'b')", 1);
    StatementOutcome outcome = send_change(ctx, target, taken);
    EXPECT_EQ(outcome.kind, StatementOutcome::ok);
    EXPECT_EQ(outcome.affected_rows, 2u);

    // The entry's value looks like a key name: the key is the one the server names last.
    StrBuf same_name("insert into u values (4, 'x'' for key ''fake')", 1);
    outcome = send_change(ctx, target, same_name, DuplicateKeys::answer);
    EXPECT_EQ(outcome.kind, StatementOutcome::duplicate_key);
    EXPECT_EQ(outcome.key_name, "by name");
    EXPECT_EQ(ctx.counts.failures, 0u);

    testing::internal::CaptureStdout();
    StrBuf short_row("insert into u values (5)", 1);
    EXPECT_EQ(send_change(ctx, target, short_row).kind, StatementOutcome::failed);
    StrBuf same_key("insert into u values (1, 'c')", 1);
    outcome = send_change(ctx, target, same_key);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(outcome.key_name, "PRIMARY");
    EXPECT_EQ(ctx.counts.failures, 2u);
    ASSERT_EQ(script.finish(true), 1);
    EXPECT_EQ(read_file(out.file("s.sql")), "insert into u values (2, 'a'), (3, 'b');\n");
}
