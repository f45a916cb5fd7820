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

// Rows that swap values of a unique index are staged (deleted, then inserted again) only
// where the table rolls back and nothing else is reached by the delete; elsewhere the swap
// is refused before any row is deleted. Rows whose unique values stay are updated in place
// (a DELETE trigger never fires), and no script holds a swap that fails on replay.
TEST(SyncLanding, UniqueSwapsAreStagedOnlyWhereSafeAndNeverScriptedToFail) {
    make_tables();
    const std::string big = "insert into mswap select seq, seq from seq_1_to_3000;";
    mariadb_exec("use kro_sync_land_src;"
                 "create table mswap (id int primary key, u int, unique key (u));" + big +
                 "update mswap set u = -1 where id = 1; update mswap set u = 1 where id = 2999;"
                 "update mswap set u = 2999 where id = 1;"
                 "create table trig (id int primary key, u int, v int, unique key (u));"
                 "insert into trig values (1, 1, 10), (2, 2, 20);"
                 "create table trigswap (id int primary key, u int, unique key (u)); insert into trigswap values (1, 2), (2, 1);"
                 "create table gswap (id int primary key, a int, g int as (a * 2) stored, unique key (g));"
                 "insert into gswap (id, a) select seq, seq from seq_1_to_3000;"
                 "update gswap set a = -1 where id = 1; update gswap set a = 1 where id = 2999; update gswap set a = 2999 where id = 1;");
    mariadb_exec("use kro_sync_land_tgt;"
                 "create table mswap (id int primary key, u int, unique key (u)) engine = MyISAM;" + big +
                 "create table trig (id int primary key, u int, v int, unique key (u)); insert into trig values (1, 1, 1), (2, 2, 2);"
                 "create table trigswap (id int primary key, u int, unique key (u)); insert into trigswap values (1, 1), (2, 2);"
                 "create table kept (id int primary key); insert into kept values (1), (2);"
                 "create trigger trig_del after delete on trig for each row delete from kept;"
                 "create trigger trigswap_del after delete on trigswap for each row delete from kept;"
                 "create table gswap (id int primary key, a int, g int as (a * 2) stored, unique key (g));"
                 "insert into gswap (id, a) select seq, seq from seq_1_to_3000;");
    const std::string mswap = snapshot("mswap"), trigswap = snapshot("trigswap");
    TempDir dir;
    RunResult run = run_sync_job(dir, job({"mswap", "trig", "trigswap"}));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    // MyISAM: the swap across chunks fails on the server before a row is deleted.
    EXPECT_EQ(client_query("select count(*) from kro_sync_land_tgt.mswap"), "3000\n");
    // Only other values change: updated in place, the DELETE trigger never fires.
    expect_same_table(source_db, target_db, "trig");
    EXPECT_EQ(client_query("select count(*) from kro_sync_land_tgt.kept"), "2\n");
    // A swap that would fire a DELETE trigger is refused and leaves the table as it was.
    EXPECT_EQ(snapshot("trigswap"), trigswap);
    const std::string session = read_file(dir.file("session.xml"));
    expect_has(session, "Table trigswap: rows swap values of the target's unique index `u` (the row WHERE (`id` = 1) "
                        "among them), which needs them deleted and inserted again, but a delete would fire its DELETE "
                        "triggers on the target: trigswap_del; the swap was refused before any row of it was changed");
    expect_has(session, "<error table=\"mswap\">");

    // A swap within a chunk on MyISAM is refused before a row is deleted.
    mariadb_exec("use kro_sync_land_src; update mswap set u = -1 where id = 1; update mswap set u = 2999 where id = 2999;"
                 "update mswap set u = 1 where id = 1;"
                 "update mswap set u = -2 where id = 2; update mswap set u = 2 where id = 3; update mswap set u = 3 where id = 2;");
    const std::string mswap_now = snapshot("mswap");
    TempDir within;
    RunResult refused = run_sync_job(within, job({"mswap"}));
    EXPECT_EQ(refused.exit_code, 1) << refused.out;
    EXPECT_EQ(snapshot("mswap"), mswap_now);
    expect_has(read_file(within.file("session.xml")),
               "but the target's table cannot undo a delete whose row then fails to arrive again");
    (void)mswap;

    // Script mode: a swap whose staging would reach referring rows, and a swap of a
    // generated column across chunks, fail the run instead of writing a script that stops
    // at a duplicate on replay.
    for (const char* table : {"swapref", "gswap"}) {
        SCOPED_TRACE(table);
        TempDir scripted;
        RunResult script_run = run_sync_job(
            scripted, job({table}, "<sync_action type=\"script\"><file>" + scripted.file("s.sql") + "</file></sync_action>"));
        EXPECT_EQ(script_run.exit_code, 1) << script_run.out;
        expect_has(read_file(scripted.file("session.xml")), std::string("<error table=\"") + table + "\">");
    }
}

// Every table's transaction ends with the table, changed or not: the row locks the
// comparison of an equal table took are gone before the next table is compared.
TEST(SyncLanding, EveryTablesTransactionEndsWithTheTable) {
    make_tables();
    mariadb_exec("use kro_sync_land_src; create table a_equal (id int primary key, v int);"
                 "insert into a_equal select seq, seq from seq_1_to_300;"
                 "create table b_probe (id int primary key, locked int); insert into b_probe values (1, 0), (2, 0);"
                 "use kro_sync_land_tgt; create table a_equal (id int primary key, v int);"
                 "insert into a_equal select seq, seq from seq_1_to_300;"
                 "create table b_probe (id int primary key, locked int); insert into b_probe values (1, 0);"
                 "create trigger probe before insert on b_probe for each row set new.locked = (select trx_rows_locked "
                 "from information_schema.INNODB_TRX where trx_mysql_thread_id = connection_id());");
    TempDir dir;
    RunResult run = run_sync_job(dir, job({"a_equal", "b_probe"}));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    const std::string locked = client_query("select locked from kro_sync_land_tgt.b_probe where id = 2");
    EXPECT_LT(std::atoi(locked.c_str()), 50) << locked;
}

// A two-way table whose forward pass failed ends there: the way back never writes the
// target's older values over the source's.
TEST(SyncLanding, AFailedForwardPassEndsATwoWayTable) {
    make_tables();
    mariadb_exec("use kro_sync_land_src; create table tw (id int primary key, v varchar(20));"
                 "insert into tw values (1, 'new-source'), (2, 'refused');"
                 "use kro_sync_land_tgt; create table tw (id int primary key, v varchar(20));"
                 "insert into tw values (1, 'old-target'), (3, 'target-only');"
                 "create trigger tw_no before insert on tw for each row if new.id = 2 then signal sqlstate '45000' "
                 "set message_text = 'inserts refused'; end if;");
    TempDir dir;
    RunResult run = run_sync_job(dir, job({"tw"}, "<twowaysync value=\"yes\"/>"));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_EQ(client_query("select id, v from kro_sync_land_src.tw order by id"), "1\tnew-source\n2\trefused\n");
    EXPECT_EQ(client_query("select id, v from kro_sync_land_tgt.tw order by id"), "1\told-target\n3\ttarget-only\n");
}

// While the target checks foreign keys, a table others refer to gets its new rows before
// them and loses its old ones after them: a direct sync lands in one run, and a script
// replays on the target as it was. Tables that refer to themselves are named.
TEST(SyncLanding, TablesAreTakenInTheOrderTheirForeignKeysNeed) {
    const auto make = [] {
        make_tables();
        for (const char* db : {source_db, target_db})
            mariadb_exec(std::string("use ") + db +
                         "; create table b_parent (id int primary key);"
                         "create table a_child (id int primary key, parent int, foreign key (parent) references b_parent (id));"
                         "create table c_self (id int primary key, up int, foreign key (up) references c_self (id));");
        mariadb_exec("use kro_sync_land_src; insert into b_parent values (1), (2); insert into a_child values (1, 1), (2, 2);"
                     "insert into c_self values (1, null), (2, 1);"
                     "use kro_sync_land_tgt; insert into b_parent values (1), (3); insert into a_child values (1, 1), (3, 3);");
    };
    make();
    TempDir scripted;
    const std::string script = scripted.file("s.sql");
    RunResult script_run = run_sync_job(
        scripted, job({"a_child", "b_parent", "c_self"}, "<sync_action type=\"script\"><file>" + script + "</file></sync_action>"));
    ASSERT_EQ(script_run.exit_code, 0) << script_run.out;
    std::string output;
    ASSERT_EQ(replay_dump(script, target_db, &output), 0) << output;
    for (const char* table : {"a_child", "b_parent", "c_self"}) expect_same_table(source_db, target_db, table);

    make();
    TempDir dir;
    RunResult run = run_sync_job(dir, job({"a_child", "b_parent", "c_self"}));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    for (const char* table : {"a_child", "b_parent", "c_self"}) expect_same_table(source_db, target_db, table);
    expect_has(run.out, "WARNING: tables c_self refer to each other or to themselves by foreign keys");

    // A parent whose first pass failed keeps its rows: its deletes do not follow alone.
    make();
    mariadb_exec("use kro_sync_land_src; delete from a_child where id = 2;"
                 "use kro_sync_land_tgt; create trigger no_two before insert on b_parent for each row "
                 "set new.id = if(new.id = 2, null, new.id)");
    TempDir failed;
    run = run_sync_job(failed, job({"a_child", "b_parent"}));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    expect_same_table(source_db, target_db, "a_child");
    EXPECT_EQ(mariadb_value("select group_concat(id order by id) from kro_sync_land_tgt.b_parent"), "1,3");
}
