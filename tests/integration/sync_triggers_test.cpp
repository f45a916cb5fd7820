// Sync job choices that decide whether anything is done at all: tables with triggers on the
// target (refused with refusetriggers, else synced and named in a warning that also reaches
// the report mail), and a run over all tables of a database that holds none.
#include <gtest/gtest.h>

#include "mariadb_fixture.h"
#include "stored_mail.h"
#include "sync_fixture.h"

namespace {

const char kSource[] = "kro_sync_trg_src";
const char kTarget[] = "kro_sync_trg_tgt";

std::string report(const std::string& token) {
    return "<sendreport value=\"yes\" when=\"always\"><smtp><host>" + service_value("SMTP_HOST") + "</host><port>" +
           service_value("SMTP_PORT") + "</port><displayname>kro</displayname><fromemail>kro@example.com</fromemail>"
           "<toemail>" + token + "@example.com</toemail><subject>sync</subject></smtp></sendreport>";
}

void make_tables() {
    recreate_database(kSource);
    recreate_database(kTarget);
    mariadb_exec(std::string("use ") + kSource +
                 "; create table audited (id int primary key, v int); insert into audited values (1, 1), (2, 2);"
                 "create table plain (id int primary key); insert into plain values (1), (2), (3);");
    mariadb_exec(std::string("use ") + kTarget +
                 "; create table audited (id int primary key, v int); create table plain (id int primary key);"
                 "create table audit_log (id int);"
                 "create trigger audited_ins after insert on audited for each row insert into audit_log values (new.id)");
}

std::string job(const std::string& body) {
    return sync_job_xml(sync_server_xml("source", "MARIADB", kSource), sync_server_xml("target", "MARIADB", kTarget),
                        "<tables all=\"no\"><table><name>audited</name></table><table><name>plain</name></table>"
                        "</tables>" + body);
}

}  // namespace

// With refusetriggers the table fails before anything reaches it, and says why; the others
// are synced. Without it the table is synced and the warning naming its trigger is in the
// report mail too.
TEST(SyncTriggers, RefusedTablesAreLeftUntouchedAndOtherwiseTheWarningReachesTheMail) {
    make_tables();
    TempDir dir;
    RunResult refused = run_sync_job(dir, job("<refusetriggers value=\"yes\"/>"));
    EXPECT_EQ(refused.exit_code, 1) << refused.out;
    EXPECT_NE(refused.out.find("Table audited has triggers on the target (audited_ins) and the job refuses such tables"),
              std::string::npos)
        << refused.out;
    EXPECT_NE(read_file(dir.file("session.xml")).find("audited_ins"), std::string::npos);
    EXPECT_EQ(mariadb_value(std::string("select count(*) from ") + kTarget + ".audited"), "0");
    EXPECT_EQ(mariadb_value(std::string("select count(*) from ") + kTarget + ".audit_log"), "0");
    expect_same_table(kSource, kTarget, "plain");

    // Two-way, the source is written too: its triggers refuse the table as well.
    mariadb_exec(std::string("use ") + kSource +
                 "; create table audit_log (id int);"
                 "create trigger plain_ins after insert on plain for each row insert into audit_log values (new.id)");
    mariadb_exec(std::string("insert into ") + kTarget + ".plain values (4)");
    RunResult two_way = run_sync_job(dir, job("<refusetriggers value=\"yes\"/><twowaysync value=\"yes\"/>"));
    EXPECT_EQ(two_way.exit_code, 1) << two_way.out;
    EXPECT_NE(two_way.out.find("Table plain has triggers on the source (plain_ins)"), std::string::npos) << two_way.out;
    EXPECT_EQ(mariadb_value(std::string("select count(*) from ") + kSource + ".plain"), "3");
    EXPECT_EQ(mariadb_value(std::string("select count(*) from ") + kSource + ".audit_log"), "0");
    mariadb_exec(std::string("delete from ") + kTarget + ".plain where id = 4");

    const std::string token = unique_mail_token("sync-triggers");
    RunResult synced = run_sync_job(dir, job("<refusetriggers value=\"no\"/>" + report(token)));
    EXPECT_EQ(synced.exit_code, 0) << synced.out;
    expect_same_table(kSource, kTarget, "audited");
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    EXPECT_NE(mail.parts[0].find("WARNING: table audited has triggers on the target, which fire for every row the "
                                 "sync changes: audited_ins"),
              std::string::npos)
        << mail.parts[0];
}

// A run over every table of a database without tables does nothing, succeeds, and says so.
TEST(SyncTriggers, AllTablesOfAnEmptyDatabaseSucceedAndSayThereWasNothingToDo) {
    recreate_database(kSource);
    recreate_database(kTarget);
    TempDir dir;
    RunResult run = run_sync_job(dir, sync_job_xml(sync_server_xml("source", "MARIADB", kSource),
                                                   sync_server_xml("target", "MARIADB", kTarget),
                                                   "<tables all=\"yes\"/>"));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    const std::string text = std::string("the source database `") + kSource + "` has no tables: there was nothing to sync";
    EXPECT_NE(run.out.find(text), std::string::npos) << run.out;
    EXPECT_NE(read_file(dir.file("sync.log")).find(text), std::string::npos);
}
