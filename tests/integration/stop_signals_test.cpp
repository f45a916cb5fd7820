// Stopping a run from outside: SIGTERM (systemctl stop), SIGINT (Ctrl-C) and SIGHUP (a
// closed terminal) in the middle of an export or a sync leave no temporary file, say in the
// log and the session file that the run was stopped, end the session file well-formed and
// exit with 128 + the signal. No table is begun after the stop, and a report mail says the
// run failed because it was stopped; a stop while the report is being mailed lets the mail
// finish. A file size limit (SIGXFSZ) does not kill kro: the failed write is reported.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "export_fixture.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "stored_mail.h"
#include "sync_fixture.h"

namespace {

constexpr char kSource[] = "kro_stop_src";
constexpr char kTarget[] = "kro_stop_tgt";

class StopSignalsTest : public testing::Test {
protected:
    // A table whose export or sync runs for seconds; made once, kept for the next programs.
    static void SetUpTestSuite() {
        const std::string table = std::string(kSource) + ".big";
        mariadb_exec(std::string("create database if not exists ") + kSource + "; create table if not exists " +
                     table + " (id int primary key, filler varchar(200)) engine=InnoDB");
        if (mariadb_value("select count(*) from " + table) != "600000")
            mariadb_exec("truncate table " + table + "; use " + kSource +
                         "; insert into big select seq, repeat(md5(seq), 6) from seq_1_to_600000");
        // Tables after it in name order, which a stopped run must not begin.
        mariadb_exec(std::string("create table if not exists ") + kSource + ".later1 (id int primary key); " +
                     "create table if not exists " + kSource + ".later2 (id int primary key)");
        client_query(std::string("create database if not exists ") + kTarget, "MARIADB2");
    }
};

// The hidden files (".<name>.XXXXXX", written before they get their name) in a folder.
std::vector<std::string> hidden_files(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.starts_with(".")) names.push_back(name);
    }
    return names;
}

// Waits until kro writes a hidden file of at least a few blocks: the work is under way.
bool wait_for_temporary_file(const std::string& folder) {
    for (int tries = 0; tries < 1200; ++tries) {
        for (const std::string& name : hidden_files(folder)) {
            std::error_code ec;
            if (std::filesystem::file_size(folder + "/" + name, ec) > 64 * 1024) return true;
        }
        usleep(25 * 1000);
    }
    return false;
}

// Waits until the process has taken every signal sent to it (none is pending any more).
bool wait_until_signals_taken(pid_t pid) {
    for (int tries = 0; tries < 1200; ++tries) {
        const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
        if (status.find("ShdPnd:\t0000000000000000\n") != std::string::npos) return true;
        usleep(5 * 1000);
    }
    return false;
}

// Runs kro on the job in dir, stops it with the signal once its temporary file is being
// written, and checks everything a stop must leave behind. A second stop signal sent once
// kro took the first changes nothing: the first one decides.
void expect_clean_stop(const TempDir& dir, const std::string& job, int signal, const char* signal_name) {
    write_file(dir.file("job.xml"), job);
    StartedProgram kro(KRO_BINARY, {"job.xml"}, dir.path(), kro_environment());
    ASSERT_TRUE(wait_for_temporary_file(dir.path())) << kro.wait().out;
    ASSERT_EQ(kill(kro.pid(), signal), 0);
    if (wait_until_signals_taken(kro.pid())) kill(kro.pid(), signal == SIGTERM ? SIGINT : SIGTERM);
    RunResult run = kro.wait();

    const std::string stopped = std::string("The run was stopped by signal ") + signal_name + ".";
    EXPECT_EQ(run.exit_code, 128 + signal) << run.out;
    EXPECT_NE(run.out.find(stopped), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("later1"), std::string::npos) << run.out;
    EXPECT_TRUE(hidden_files(dir.path()).empty());
    const std::string log = read_file(dir.file("kro.log"));
    EXPECT_NE(log.find(stopped + "\r\n"), std::string::npos) << log;
    const std::string ended = std::string(", stopped by signal ") + signal_name + ", exit code " +
                              std::to_string(128 + signal) + ".";
    // On the log's last line, which ends with a blank line.
    const std::size_t at = log.rfind(ended);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find('\n', at), log.size() - 3) << log;
    EXPECT_TRUE(log.ends_with("\r\n\r\n")) << log;

    tinyxml2::XMLDocument session;
    const std::string text = read_file(dir.file("krosession.xml"));
    ASSERT_EQ(session.Parse(text.c_str()), tinyxml2::XML_SUCCESS) << text;
    const tinyxml2::XMLElement* errors = session.FirstChildElement("krosession")->FirstChildElement("errors");
    ASSERT_NE(errors, nullptr);
    const tinyxml2::XMLElement* last = errors->LastChildElement("error");
    ASSERT_NE(last, nullptr) << text;
    EXPECT_STREQ(last->GetText(), stopped.c_str());
}

std::string export_job(const TempDir& dir, const std::string& extra = "") {
    return export_job_xml(std::string("<databases><database name=\"") + kSource +
                              "\"><objects all=\"yes\"/></database></databases><script>" + dir.file("dump.sql") +
                              "</script>",
                          nullptr, extra);
}

// A report mail on failure (or always) to the test SMTP sink.
std::string failure_report(const std::string& token, const char* when = "") {
    return std::string("<sendreport value=\"yes\"") + when + "><smtp><host>" + service_value("SMTP_HOST") + "</host><port>" +
           service_value("SMTP_PORT") + "</port><displayname>kro</displayname><fromemail>kro@example.com</fromemail><toemail>" +
           token + "@example.com</toemail><subject>stopped export</subject></smtp></sendreport>";
}

// Waits until the test SMTP sink holds back its answer to the recipient (see smtp_sink.py).
bool wait_for_stalled_mail(const std::string& local_part) {
    const std::string marker = service_value("SMTP_MAILDIR") + "/" + local_part + ".stalled";
    for (int tries = 0; tries < 1200 && !file_exists(marker); ++tries) usleep(25 * 1000);
    return file_exists(marker);
}

}  // namespace

TEST_F(StopSignalsTest, SigtermSigintAndSighupStopAnExportAndLeaveNoTemporaryFile) {
    for (auto [signal, name] :
         {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}, std::pair{SIGHUP, "SIGHUP"}}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string token = unique_mail_token("stopped-export");
        expect_clean_stop(dir, export_job(dir, failure_report(token)), signal, name);
        EXPECT_FALSE(file_exists(dir.file("dump.sql")));
        StoredMail mail;
        ASSERT_TRUE(fetch_stored_mail(token, mail));
        EXPECT_NE(mail.parts[0].find("Export job was unsucessful."), std::string::npos) << mail.parts[0];
        EXPECT_NE(mail.parts[0].find(std::string("The run was stopped by signal ") + name + "."), std::string::npos)
            << mail.parts[0];
    }
}

TEST_F(StopSignalsTest, SigtermStopsASyncAndLeavesNoTemporaryScript) {
    TempDir dir;
    client_query(std::string("drop table if exists ") + kTarget + ".big; create table " + kTarget +
                     ".big (id int primary key, filler varchar(200)) engine=InnoDB",
                 "MARIADB2");
    expect_clean_stop(dir,
                      sync_job_xml(sync_server_xml("source", "MARIADB", kSource),
                                   sync_server_xml("target", "MARIADB2", kTarget),
                                   "<tables all=\"yes\"/><sync_action type=\"all\"><file>" + dir.file("sync.sql") +
                                       "</file></sync_action>"),
                      SIGTERM, "SIGTERM");
    EXPECT_FALSE(file_exists(dir.file("sync.sql")));
    // What the server did: InnoDB took back every row of the stopped table.
    const std::string log = read_file(dir.file("kro.log"));
    EXPECT_NE(log.find("The changes made to table `big` in this run were rolled back"), std::string::npos) << log;
    EXPECT_EQ(log.find("could not be rolled back"), std::string::npos) << log;
    EXPECT_EQ(client_query(std::string("select count(*) from ") + kTarget + ".big", "MARIADB2"), "0\n");
}

TEST_F(StopSignalsTest, AWriteBeyondTheFileSizeLimitIsReportedNotFatal) {
    TempDir dir;
    write_file(dir.file("job.xml"), export_job(dir));
    RunResult run = StartedProgram(KRO_BINARY, {"job.xml"}, dir.path(), kro_environment(), 0, 1024 * 1024).wait();
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_NE(run.out.find("Error writing in file."), std::string::npos) << run.out;
    const std::string log = read_file(dir.file("kro.log"));
    EXPECT_NE(log.find("File too large"), std::string::npos) << log;
    EXPECT_NE(log.rfind(": exportjob, failed, exit code 1. Wrote no complete dump.\r\n\r\n"), std::string::npos) << log;
    EXPECT_TRUE(hidden_files(dir.path()).empty());
}

// A stop that arrives while the report is being mailed lets the mail finish as it was
// decided: a failure report still goes out, and a success report whose message the server
// already holds is not reported as failed. The run still ends as stopped.
TEST_F(StopSignalsTest, AStopWhileTheReportIsMailedLetsTheMailFinish) {
    mariadb_exec("create database if not exists kro_stop_small; "
                 "create table if not exists kro_stop_small.t (id int primary key)");
    struct Case {
        const char* database;
        const char* when;
        const char* stall;
        const char* outcome;
    };
    for (const Case& c : {Case{"kro_stop_missing", "", "stall-at-rcpt", "Export job was unsucessful."},
                          Case{"kro_stop_small", " when=\"always\"", "stall-after-data", "Export job completed successfully"}}) {
        SCOPED_TRACE(c.stall);
        TempDir dir;
        const std::string token = unique_mail_token("stopped-mail") + "-" + c.stall;
        write_file(dir.file("job.xml"),
                   export_job_xml(std::string("<databases><database name=\"") + c.database +
                                      "\"><objects all=\"yes\"/></database></databases><script>" +
                                      dir.file("dump.sql") + "</script>",
                                  nullptr, failure_report(token, c.when)));
        StartedProgram kro(KRO_BINARY, {"job.xml"}, dir.path(), kro_environment());
        ASSERT_TRUE(wait_for_stalled_mail(token)) << kro.wait().out;
        ASSERT_EQ(kill(kro.pid(), SIGTERM), 0);
        RunResult run = kro.wait();

        EXPECT_EQ(run.exit_code, 128 + SIGTERM) << run.out;
        EXPECT_NE(run.out.find("Mail sent successfully"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("Error sending mail."), std::string::npos) << run.out;
        StoredMail mail;
        ASSERT_TRUE(fetch_stored_mail(token, mail));
        EXPECT_NE(mail.parts[0].find(c.outcome), std::string::npos) << mail.parts[0];
        const std::string log = read_file(dir.file("kro.log"));
        EXPECT_NE(log.rfind(", stopped by signal SIGTERM, exit code 143. "), std::string::npos) << log;
    }
}
