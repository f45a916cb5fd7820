// Every change a sync sends lands as the sync expects, or its table fails, is named, and
// (on a transactional target) is left as it was: a row refused by a unique key other than
// the sync's, a row a trigger refuses, a copy refused half-way. Rows that swap the values
// of a unique column are synced, directly and by script. A MyISAM table says that its
// changes remain; triggers on the target are named. A script that cannot be written fails
// the run, leaves no file and undoes the direct sync it was written with.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

const char* const source_db = "kro_sync_land_src";
const char* const target_db = "kro_sync_land_tgt";

void make_tables() {
    recreate_database(source_db);
    recreate_database(target_db);
    mariadb_exec(
        "use kro_sync_land_src;"
        "create table good (id int primary key, v int); insert into good values (1, 1), (2, 2);"
        "create table uq (id int primary key, a int); insert into uq values (1, 1), (2, 2), (3, 3), (4, 2);"
        "create table p (id int primary key, v int); insert into p values (1, 1), (2, 2), (4, 4);"
        "insert into p select seq, seq from seq_10_to_1200;"
        "create table pm (id int primary key, v int); insert into pm values (1, 1), (2, 2), (4, 4);"
        "create table swap (id int primary key, id2 int, unique key (id2));"
        "insert into swap values (1, 200), (2, 100), (3, 300), (5, 400);"
        "create table swapref (id int primary key, id2 int, unique key (id2)); insert into swapref values (1, 200), (2, 100);");
    mariadb_exec(
        "use kro_sync_land_tgt;"
        "create table good (id int primary key, v int);"
        "create table uq (id int primary key, a int, unique key by_a (a)); insert into uq values (1, 1), (2, 2), (3, 3);"
        "create table p (id int primary key, v int); insert into p values (1, 1), (3, 3), (4, 0);"
        "insert into p select seq, seq + (seq % 3 = 0) from seq_10_to_1200 where seq % 5 > 0;"
        "create table pm (id int primary key, v int) engine = MyISAM; insert into pm values (1, 1), (3, 3), (4, 0);"
        "create trigger no_ins before insert on p for each row begin if new.id = 605 then signal sqlstate "
        "'45000' set message_text = 'inserts refused'; end if; end;"
        "create trigger no_ins_m before insert on pm for each row signal sqlstate '45000' set message_text = "
        "'inserts refused';"
        "create table swap (id int primary key, id2 int, unique key (id2));"
        "insert into swap values (1, 100), (2, 200), (4, 400), (5, 300);"
        "create table swapref (id int primary key, id2 int, unique key (id2)); insert into swapref values (1, 100), (2, 200);"
        "create table child (id int primary key, ref int, foreign key (ref) references swapref (id) on delete cascade);"
        "insert into child values (1, 1), (2, 2);");
}

std::string job(const std::vector<std::string>& names, const std::string& extra = "") {
    std::string tables = "<tables all=\"no\">";
    for (const std::string& n : names) tables += "<table><name>" + n + "</name></table>";
    return sync_job_xml(sync_server_xml("source", "MARIADB", source_db), sync_server_xml("target", "MARIADB", target_db),
                        tables + "</tables>" + extra);
}

// The table's rows and checksum: equal texts mean the same bytes.
std::string snapshot(const std::string& table) {
    return table_rows(target_db, table) + "|" + table_checksum(target_db, table);
}

void expect_has(const std::string& text, const std::string& piece) {
    EXPECT_NE(text.find(piece), std::string::npos) << "missing: " << piece << "\nin:\n" << text;
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

}  // namespace

TEST(SyncLanding, ATableWhoseChangesDoNotAllLandIsRolledBackAndNamedWhileTheOthersAreSynced) {
    make_tables();
    const std::string uq = snapshot("uq"), p = snapshot("p"), swapref = snapshot("swapref");
    TempDir dir;
    RunResult run = run_sync_job(dir, job({"good", "uq", "p", "pm", "swap", "swapref"}));
    EXPECT_EQ(run.exit_code, 1) << run.out;

    // Earlier and later tables keep what they got; the values a unique column swaps arrive.
    expect_same_table(source_db, target_db, "good");
    expect_same_table(source_db, target_db, "swap");
    // Row 4 of uq meets row 2's value in a key the source lacks: an update of row 4 by its
    // id would change nothing, so the table fails and stays as it was.
    EXPECT_EQ(snapshot("uq"), uq);
    // The trigger refuses the insert of row 605 after the delete of row 3 and the inserts
    // before it were taken: undone.
    EXPECT_EQ(snapshot("p"), p);
    // MyISAM cannot undo them (the delete of row 3 and the update of row 4 before the
    // refused insert), and the run says so.
    EXPECT_EQ(client_query("select id, v from kro_sync_land_tgt.pm order by id"), "1\t1\n4\t4\n");
    // A table other rows refer to with a cascading delete is not staged: its swap fails and
    // is undone, and no row of the referring table is lost.
    EXPECT_EQ(snapshot("swapref"), swapref);
    EXPECT_EQ(client_query("select id, ref from kro_sync_land_tgt.child order by id"), "1\t1\n2\t2\n");

    const std::string session = read_file(dir.file("session.xml"));
    for (const char* table : {"uq", "p", "pm", "swapref"}) expect_has(session, std::string("<error table=\"") + table + "\">");
    EXPECT_EQ(session.find("table=\"good\""), std::string::npos) << session;
    EXPECT_EQ(session.find("table=\"swap\""), std::string::npos) << session;
    expect_has(session, "for key 'by_a'");
    expect_has(session, "inserts refused");
    expect_has(session, "The changes made to table p in this run were rolled back");
    expect_has(session, "Table pm could not be rolled back (its engine or connection has no transactions): the "
                        "changes made to it before the error remain.");
    expect_has(run.out, "WARNING: table p has triggers on the target, which fire for every row the sync changes: no_ins");
    EXPECT_TRUE(has_summary(run.out, "swap", 4, 4, 1, 3, 1)) << run.out;
}

TEST(SyncLanding, AScriptThatSwapsUniqueValuesReplays) {
    make_tables();
    TempDir dir;
    const std::string script = dir.file("s.sql");
    RunResult run = run_sync_job(
        dir, job({"swap"}, "<sync_action type=\"script\"><file>" + script + "</file></sync_action>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    std::string output;
    ASSERT_EQ(replay_dump(script, target_db, &output), 0) << output;
    expect_same_table(source_db, target_db, "swap");
}

TEST(SyncLanding, AScriptThatCannotBeWrittenFailsTheRunAndLeavesNoFile) {
    make_tables();
    mariadb_exec("use kro_sync_land_src; create table big (id int primary key, v varchar(200));"
                 "insert into big select seq, repeat('b', 200) from seq_1_to_3000;"
                 "use kro_sync_land_tgt; create table big (id int primary key, v varchar(200));"
                 "insert into big values (1, 'x')");
    const std::string before = snapshot("big");
    for (const char* action : {"script", "all"}) {
        SCOPED_TRACE(action);
        // A full disk.
        TempDir dir;
        RunResult full = run_sync_job(
            dir, job({"big"}, std::string("<sync_action type=\"") + action + "\"><file>/dev/full</file></sync_action>"));
        EXPECT_EQ(full.exit_code, 1) << full.out;
        EXPECT_EQ(full.out.find("has been generated at"), std::string::npos) << full.out;
        expect_has(read_file(dir.file("session.xml")), "No space left on device");
        // A direct sync whose script is lost is undone with it.
        EXPECT_EQ(snapshot("big"), before);

        // A file size limit: the write fails instead of the process dying of it.
        TempDir limited;
        write_file(limited.file("job.xml"),
                   job({"big"}, std::string("<sync_action type=\"") + action + "\"><file>" + limited.file("s.sql") +
                                    "</file></sync_action>"));
        RunResult run = StartedProgram(KRO_BINARY, {"job.xml", "-lsync.log", "-ssession.xml"}, limited.path(),
                                       kro_environment(), 0, 64 * 1024)
                            .wait();
        EXPECT_EQ(run.exit_code, 1) << run.out;
        EXPECT_EQ(run.out.find("has been generated at"), std::string::npos) << run.out;
        expect_has(read_file(limited.file("session.xml")), "Error writing in file.");
        for (const std::string& name : files_in(limited.path()))
            EXPECT_TRUE(name == "job.xml" || name == "sync.log" || name == "session.xml") << name;
        EXPECT_EQ(snapshot("big"), before);
    }
}
