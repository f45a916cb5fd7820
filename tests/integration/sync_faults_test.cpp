// What a sync does with tables it must not or cannot sync: each mismatch gives its text
// and a session entry naming the table, the other tables (one with a binary key collation
// among them) are synced all the same and the run fails; abortonerror ends it at the first
// such table; a target that refuses writes and a script path that cannot be created fail
// the run and report nothing as synced; the failure report mail carries the errors. Settings
// that do not say clearly what to write, a server that cannot be reached and a database
// synced onto itself are refused before anything is written, naming the side and the
// server's reason.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "mariadb_fixture.h"
#include "stored_mail.h"
#include "sync_fixture.h"

namespace {

void make_tables() {
    recreate_database("kro_sync_bad_src");
    recreate_database("kro_sync_bad_tgt");
    mariadb_exec(
        "use kro_sync_bad_src;"
        "create table fc (a int, b int); create table nm (a int, b int); create table df (a int(11));"
        "create table ex (a int primary key auto_increment); create table pk (a int, b int, primary key (a, b));"
        "create table bin (k varchar(10) collate utf8mb4_bin primary key, v int);"
        "insert into bin values ('a', 1), ('B', 2);"
        "create table good (v int); insert into good values (1), (2);"
        "create table copy_me (id int primary key, v varchar(10)); insert into copy_me values (1, 'x');");
    mariadb_exec(
        "use kro_sync_bad_tgt;"
        "create table fc (a int); create table nm (a int, c int); create table df (a int(10));"
        "create table ex (a int primary key); create table pk (a int, b int, primary key (a));"
        "create table bin (k varchar(10) collate utf8mb4_bin primary key, v int); insert into bin values ('A', 9);"
        "create table good (v int); create table copy_me (id int primary key, v varchar(10));");
}

std::string tables(const std::vector<std::string>& names) {
    std::string xml = "<tables all=\"no\">";
    for (const std::string& n : names) xml += "<table><name>" + n + "</name></table>";
    return xml + "</tables>";
}

std::string job(const std::string& body, const std::string& target_user = "") {
    std::string target = sync_server_xml("target", "MARIADB", "kro_sync_bad_tgt");
    if (!target_user.empty()) {
        const std::string user = "<user>" + service_value("MARIADB_USER") + "</user>";
        target.replace(target.find(user), user.size(), "<user>" + target_user + "</user>");
        const std::string pwd = "<pwd>" + xml_escaped(service_value("MARIADB_PASSWORD")) + "</pwd>";
        target.replace(target.find(pwd), pwd.size(), "<pwd>ro-Pw_1</pwd>");
    }
    return sync_job_xml(sync_server_xml("source", "MARIADB", "kro_sync_bad_src"), target, body);
}

void expect_has(const std::string& text, const std::string& piece) {
    EXPECT_NE(text.find(piece), std::string::npos) << "missing: " << piece << "\nin:\n" << text;
}

std::string report_mail(const std::string& token, const std::string& when) {
    return "<sendreport value=\"yes\" when=\"" + when + "\"><smtp><host>" + service_value("SMTP_HOST") +
           "</host><port>" + service_value("SMTP_PORT") + "</port><displayname>kro</displayname><fromemail>"
           "kro@example.com</fromemail><toemail>" + token + "@example.com</toemail><subject>sync</subject></smtp>"
           "</sendreport>";
}

// The server element with one setting replaced.
std::string with_setting(std::string server, const std::string& element, const std::string& value) {
    const std::size_t open = server.find("<" + element + ">");
    const std::size_t close = server.find("</" + element + ">");
    return server.replace(open, close - open, "<" + element + ">" + value);
}

}  // namespace

TEST(SyncFaults, MismatchedTablesAreReportedAndSkippedWhileTheOthersAreSynced) {
    make_tables();
    TempDir dir;
    const std::string token = unique_mail_token("syncfault");
    const std::string mail = "<sendreport value=\"yes\"><smtp><host>" + service_value("SMTP_HOST") + "</host><port>" +
                             service_value("SMTP_PORT") +
                             "</port><displayname>kro</displayname><fromemail>kro@example.com</fromemail><toemail>" +
                             token + "@example.com</toemail><subject>sync report</subject></smtp></sendreport>";
    RunResult run = run_sync_job(
        dir, job(tables({"fc", "nm", "df", "ex", "pk", "bin", "nosuch", "good", "copy_me"}) + mail));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    // The fixed texts, then what differs.
    expect_has(run.out, "Field count not equal for 'fc' table (source 2 columns, target 1; only in the source: `b`)\r\n");
    expect_has(run.out, "Column NAME mismatch for 'nm' table\r\n");
    expect_has(run.out, "Definition mismatch for 'a' column in 'df' table (source int(11), target int(10))\r\n");
    expect_has(run.out, "Column definition mismatch for 'a' column in 'ex' table\r\n");
    expect_has(run.out, "PRIMARY KEY mismatch for 'pk' table\r\n");
    // The tables after them are synced all the same.
    EXPECT_TRUE(has_summary(run.out, "good", 2, 0, 2, 0, 0)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "copy_me", 1, 0, 1, 0, 0)) << run.out;
    expect_same_table("kro_sync_bad_src", "kro_sync_bad_tgt", "good");
    expect_same_table("kro_sync_bad_src", "kro_sync_bad_tgt", "copy_me");
    // 'A' and 'a' are two keys in a binary collation.
    EXPECT_EQ(client_query("select k, v from kro_sync_bad_tgt.bin order by k"), "B\t2\na\t1\n");

    const std::string session = read_file(dir.file("session.xml"));
    for (const char* table : {"fc", "nm", "df", "ex", "pk", "nosuch"})
        expect_has(session, std::string("<error table=\"") + table + "\">");
    EXPECT_EQ(session.find("table=\"bin\""), std::string::npos) << session;
    expect_has(session, "Table 'kro_sync_bad_src.nosuch' doesn't exist");

    StoredMail stored;
    ASSERT_TRUE(fetch_stored_mail(token, stored));
    ASSERT_EQ(stored.parts.size(), 2u);
    expect_has(stored.parts[0], "Sync was unsucessful.");
    expect_has(stored.parts[0], "PRIMARY KEY mismatch for 'pk' table");
    expect_has(stored.parts[1], "Sync was unsuccessful.");
}

TEST(SyncFaults, AbortOnErrorEndsTheRunAtTheFirstTableThatFails) {
    make_tables();
    TempDir dir;
    RunResult run = run_sync_job(dir, job(tables({"good", "fc", "copy_me"}) + "<abortonerror value=\"yes\"/>"));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_TRUE(has_summary(run.out, "good", 2, 0, 2, 0, 0)) << run.out;
    expect_has(run.out, "Field count not equal for 'fc' table (source 2 columns, target 1; only in the source: `b`)\r\n");
    EXPECT_EQ(run.out.find("copy_me"), std::string::npos) << run.out;
    EXPECT_EQ(client_query("select count(*) from kro_sync_bad_tgt.copy_me"), "0\n");
}

TEST(SyncFaults, ATargetThatRefusesWritesOrAnUnwritableScriptFailsTheRunWithNothingReportedAsSynced) {
    make_tables();
    mariadb_exec("drop user if exists 'kro_sync_ro'@'%'; create user 'kro_sync_ro'@'%' identified by 'ro-Pw_1';"
                 "grant select on kro_sync_bad_tgt.* to 'kro_sync_ro'@'%'");
    TempDir dir;
    RunResult run = run_sync_job(dir, job(tables({"copy_me"}), "kro_sync_ro"));
    mariadb_exec("drop user 'kro_sync_ro'@'%'");
    EXPECT_EQ(run.exit_code, 1) << run.out;
    expect_has(run.out, "There was an error while executing a query.");
    EXPECT_FALSE(has_summary(run.out, "copy_me", 1, 0, 1, 0, 0)) << run.out;
    expect_has(read_file(dir.file("sync.log")), "Error No. 1142");
    EXPECT_EQ(client_query("select count(*) from kro_sync_bad_tgt.copy_me"), "0\n");

    TempDir second;
    RunResult script = run_sync_job(
        second, job(tables({"copy_me"}) + "<sync_action type=\"all\"><file>" + second.file("missing/dir/s.sql") +
                    "</file></sync_action>"));
    EXPECT_EQ(script.exit_code, 1) << script.out;
    expect_has(script.out, "Error occured while opening sync file");
    EXPECT_EQ(client_query("select count(*) from kro_sync_bad_tgt.copy_me"), "0\n");
}

TEST(SyncFaults, ABulkCopyTheTargetRefusesHalfWayIsUndoneAndScriptsOnlyTheRowsTheTargetTook) {
    make_tables();
    // Rows of 2 MB: a statement holds at most what the target's packet takes, so the rows
    // go in several statements, and the trigger refuses the one that holds row 9.
    mariadb_exec("use kro_sync_bad_src; create table wide (id int primary key, v longtext);"
                 "insert into wide select seq, repeat('w', 2000000) from seq_1_to_10;"
                 "use kro_sync_bad_tgt; create table wide (id int primary key, v longtext);"
                 "create trigger no_nine before insert on wide for each row"
                 " if new.id = 9 then signal sqlstate '45000' set message_text = 'row 9 refused'; end if");
    TempDir dir;
    const std::string script = dir.file("s.sql");
    RunResult run = run_sync_job(
        dir, job(tables({"wide"}) + "<sync_action type=\"all\"><file>" + script + "</file></sync_action>"));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    expect_has(read_file(dir.file("sync.log")), "row 9 refused");
    // The statements before the refused one were taken (rows 1 to some n below 9), and
    // rolled back with the table.
    EXPECT_EQ(client_query("select count(*) from kro_sync_bad_tgt.wide"), "0\n");
    expect_has(read_file(dir.file("session.xml")), "The changes made to table wide in this run were rolled back");
    const std::string text = read_file(script + ".incomplete");
    int n = 0;
    while (n < 10 && text.find("('" + std::to_string(n + 1) + "', 'www") != std::string::npos) ++n;
    ASSERT_TRUE(n > 0 && n < 9) << n;
    for (int id = 1; id <= 10; ++id)
        EXPECT_EQ(text.find("('" + std::to_string(id) + "', 'www") != std::string::npos, id <= n) << "row " << id;
}

TEST(SyncFaults, UnclearSettingsAndADatabaseSyncedOntoItselfAreRefusedBeforeAnythingIsWritten) {
    make_tables();
    const std::string source = sync_server_xml("source", "MARIADB", "kro_sync_bad_src");
    const std::string target = sync_server_xml("target", "MARIADB", "kro_sync_bad_tgt");
    // A misspelt "script" and a switch written as "true" would both have written to the target;
    // the job-file check refuses them before anything connects.
    for (const std::string& body : {std::string("<sync_action type=\"scriptonly\"><file>s.sql</file></sync_action>"),
                                    std::string("<dontdelfromtarget value=\"true\"/>")}) {
        TempDir dir;
        RunResult run = run_sync_job(dir, sync_job_xml(source, target, tables({"copy_me"}) + body));
        EXPECT_EQ(run.exit_code, 1) << run.out;
        expect_has(run.out, "job.xml:5: error: <");
        expect_has(run.out, "kro refuses the job file");
        expect_has(read_file(dir.file("session.xml")), "kro refuses the job file");
        EXPECT_FALSE(std::filesystem::exists(dir.file("s.sql")));
    }
    EXPECT_EQ(client_query("select count(*) from kro_sync_bad_tgt.copy_me"), "0\n");

    // The same database as target, named the same way: refused at once, not after a lock wait.
    TempDir dir;
    RunResult same = run_sync_job(
        dir, sync_job_xml(source, sync_server_xml("target", "MARIADB", "kro_sync_bad_src"), tables({"copy_me"})));
    EXPECT_EQ(same.exit_code, 1) << same.out;
    expect_has(same.out, "The source and the target are the same database `kro_sync_bad_src` on the same server");
    expect_has(read_file(dir.file("session.xml")), "a sync needs two different databases");
    // Two databases of one server are two databases.
    RunResult two = run_sync_job(dir, sync_job_xml(source, target, tables({"copy_me"})));
    EXPECT_EQ(two.exit_code, 0) << two.out;
}

TEST(SyncFaults, AFailedConnectNamesTheSideAndItsReasonAndMailsTheFailureReport) {
    make_tables();
    const std::string source = sync_server_xml("source", "MARIADB", "kro_sync_bad_src");
    const std::string target = sync_server_xml("target", "MARIADB", "kro_sync_bad_tgt");
    const std::string place = service_value("MARIADB_HOST") + ":" + service_value("MARIADB_PORT");
    struct Case {
        std::string source, target, when, text;
    } cases[] = {
        {source, with_setting(target, "pwd", "wrong"), "failure", "\r\nERROR: 1045, Access denied for user"},
        {with_setting(source, "port", "1"), target, "always", "(source " + service_value("MARIADB_HOST") + ":1)"},
        {source, with_setting(target, "database", "kro_sync_no_such_db"), "always",
         "Could not get tables for the TARGET MySQL server (target " + place +
             ": Unknown database 'kro_sync_no_such_db')\r\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string token = unique_mail_token("syncconnect");
        RunResult run = run_sync_job(dir, sync_job_xml(c.source, c.target, tables({"copy_me"}) + report_mail(token, c.when)));
        EXPECT_EQ(run.exit_code, 1) << run.out;
        expect_has(run.out, c.text);
        const std::string words = c.text.substr(c.text.find_first_not_of("\r\n"), 30);
        expect_has(read_file(dir.file("session.xml")), words);
        StoredMail stored;
        ASSERT_TRUE(fetch_stored_mail(token, stored)) << run.out;
        expect_has(stored.parts[0], "Sync was unsucessful.");
        expect_has(stored.parts[0], words);
    }
    // The refused login is the target's, and says so.
    TempDir dir;
    RunResult run = run_sync_job(dir, sync_job_xml(source, with_setting(target, "pwd", "wrong"), tables({"copy_me"})));
    expect_has(run.out, "(using password: YES) (target " + place + ")");
}

TEST(SyncFaults, AnEscapedBackquoteInANameAndAKeylessTableKeepOneSummaryLineEach) {
    make_tables();
    mariadb_exec("create table kro_sync_bad_src.`t``1` (id int primary key, v int);"
                 "insert into kro_sync_bad_src.`t``1` values (1, 1), (2, 2);"
                 "create table kro_sync_bad_tgt.`t``1` (id int primary key, v int);"
                 "insert into kro_sync_bad_tgt.`t``1` values (1, 5);"
                 "insert into kro_sync_bad_tgt.good values (7);");
    TempDir dir;
    RunResult run = run_sync_job(dir, job(tables({"`t``1`", "good"})));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    expect_has(run.out, summary_line("`t``1`", 2, 1, 1, 1, 0) + "\n");
    expect_has(run.out, summary_line("good", 2, 1, 2, 0, 1) + "\n");
    expect_has(run.out, "WARNING: table good does not have a Primary Key");
    expect_same_table("kro_sync_bad_src", "kro_sync_bad_tgt", "t`1");
}
