// A sync through each kind of tunnel: the source behind the SSH tunnel, and the target
// behind the HTTP tunnel, where every request is a session of its own and the run's
// session settings travel with each statement.
#include <gtest/gtest.h>

#include <string>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

int unused_port() {
    LoopbackListener listener;
    return listener.port;  // free again once the listener closes
}

void make_source(const std::string& server) {
    recreate_database("kro_sync_tun_src", server);
    EXPECT_EQ(client_query("use kro_sync_tun_src; set time_zone = '+00:00';"
                           "create table fresh (id int primary key, v varbinary(10), ts timestamp null) ;"
                           "insert into fresh values (1, 0x00ff27, '2001-02-03 04:05:06'), (2, NULL, NULL);"
                           "create table loose (a int, b varchar(10), f float);"
                           "insert into loose values (1, 'one', 1.5), (1, 'one', 1.5), (2, NULL, NULL);",
                           server),
              "");
}

// The first server as the tunnel script reaches it (the only one its settings allow).
std::string http_server_xml(const char* element, const std::string& database) {
    return sync_server_xml(element, "MARIADB", database,
                           "<tunnelinfo type=\"http\"><url>" + service_value("HTTP_TUNNEL_URL") + "</url></tunnelinfo>");
}

std::string tables() {
    return "<tables all=\"no\"><table><name>fresh</name></table><table><name>loose</name></table></tables>";
}

}  // namespace

TEST(SyncTunnel, TheSourceBehindTheSshTunnelIsSyncedToAnotherServer) {
    make_source("MARIADB");
    recreate_database("kro_sync_tun_tgt", "MARIADB2");
    EXPECT_EQ(client_query("create table kro_sync_tun_tgt.loose (a int, b varchar(10), f float);"
                           "insert into kro_sync_tun_tgt.loose values (9, 'gone', 0)",
                           "MARIADB2"),
              "");
    const std::string tunnel = "<tunnelinfo type=\"ssh\"><sshuser>" + service_value("SSH_USER") + "</sshuser><sshpwd>" +
                               xml_escaped(service_value("SSH_PASSWORD")) + "</sshpwd><sshhost>" +
                               service_value("SSH_HOST") + "</sshhost><sshport>" + service_value("SSH_PORT") +
                               "</sshport><localport>" + std::to_string(unused_port()) + "</localport></tunnelinfo>";
    TempDir dir, home;
    RunResult run = run_sync_job(dir,
                                 sync_job_xml(sync_server_xml("source", "MARIADB", "kro_sync_tun_src", tunnel),
                                              sync_server_xml("target", "MARIADB2", "kro_sync_tun_tgt"), tables()),
                                 {"HOME=" + home.path()});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_TRUE(has_summary(run.out, "fresh", 2, 0, 2, 0, 0)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "loose", 3, 1, 3, 0, 1)) << run.out;
    expect_same_table("kro_sync_tun_src", "kro_sync_tun_tgt", "fresh", "MARIADB2");
    expect_same_table("kro_sync_tun_src", "kro_sync_tun_tgt", "loose", "MARIADB2");
}

TEST(SyncTunnel, TheTargetBehindTheHttpTunnelIsCreatedFilledAndMadeEqual) {
    // The source is the server in the other time zone: the tunnel's sessions must read and
    // write TIMESTAMP values in the run's zone as well.
    make_source("MARIADB2");
    recreate_database("kro_sync_tun_tgt");
    mariadb_exec("create table kro_sync_tun_tgt.loose (a int, b varchar(10), f float);"
                 "insert into kro_sync_tun_tgt.loose values (1, 'one', 1.5), (3, 'gone', 0), (3, 'gone', 0)");
    TempDir dir;
    RunResult run = run_sync_job(dir, sync_job_xml(sync_server_xml("source", "MARIADB2", "kro_sync_tun_src"),
                                                   http_server_xml("target", "kro_sync_tun_tgt"),
                                                   tables() + "<fkcheck value=\"yes\"/>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_TRUE(has_summary(run.out, "fresh", 2, 0, 2, 0, 0)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "loose", 3, 3, 2, 0, 2)) << run.out;
    // Compared from the source's side: the second server holds the source here.
    for (const char* table : {"fresh", "loose"}) {
        EXPECT_EQ(table_rows("kro_sync_tun_tgt", table), table_rows("kro_sync_tun_src", table, "MARIADB2")) << table;
        EXPECT_EQ(table_checksum("kro_sync_tun_tgt", table), table_checksum("kro_sync_tun_src", table, "MARIADB2"))
            << table;
    }
    EXPECT_EQ(client_query("select unix_timestamp(ts) from kro_sync_tun_tgt.fresh where id = 1"), "981173106\n");
}

TEST(SyncTunnel, TheSourceBehindTheHttpTunnelIsReadInPages) {
    make_source("MARIADB");
    mariadb_exec("use kro_sync_tun_src; create table paged (id int primary key, v varchar(20));"
                 "insert into paged select seq, concat('row ', seq) from seq_1_to_2500");
    recreate_database("kro_sync_tun_tgt", "MARIADB2");
    TempDir dir;
    RunResult run = run_sync_job(dir, sync_job_xml(http_server_xml("source", "kro_sync_tun_src"),
                                                   sync_server_xml("target", "MARIADB2", "kro_sync_tun_tgt"),
                                                   "<tables all=\"yes\"/>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_TRUE(has_summary(run.out, "`paged`", 2500, 0, 2500, 0, 0)) << run.out;
    for (const char* table : {"fresh", "loose", "paged"})
        expect_same_table("kro_sync_tun_src", "kro_sync_tun_tgt", table, "MARIADB2");
}
