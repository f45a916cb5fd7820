// The export job's report mail, through the test SMTP sink, and what a stopped export says.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "export_fixture.h"
#include "mariadb_fixture.h"
#include "stored_mail.h"

namespace {

std::string report_element(const std::string& attributes, const std::string& token,
                           const std::string& subject_attributes = "") {
    return "<sendreport " + attributes + "><smtp><host>" + service_value("SMTP_HOST") + "</host><port>" +
           service_value("SMTP_PORT") + "</port><displayname>kro</displayname><fromemail>kro@example.com</fromemail>"
           "<toemail>" + token + "@example.com</toemail><subject" + subject_attributes +
           ">export report</subject></smtp></sendreport>";
}

std::string host_name() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// Every test makes the database it exports, so that each also passes alone.
void make_mail_database() {
    mariadb_exec("create database if not exists kro_exp_mail; create table if not exists kro_exp_mail.t (id int primary key)");
}

TEST(ExportReport, SuccessIsMailedOnlyWithAlwaysAndCarriesTheProgressLines) {
    make_mail_database();
    TempDir dir;
    const std::string part = "<databases><database name=\"kro_exp_mail\"><objects all=\"yes\"/></database></databases>"
                             "<script>" + dir.file("d.sql") + "</script>";
    std::string quiet = unique_mail_token("export-quiet");
    RunResult run = run_export_job(dir, export_job_xml(part, "", report_element("send=\"yes\"", quiet)));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_TRUE(no_stored_mail(quiet));
    // The log ends with how the run ended.
    const std::string log = read_file(dir.file("kro.log"));
    EXPECT_NE(log.rfind(": exportjob, succeeded, exit code 0. Wrote " + dir.file("d.sql") + " ("), std::string::npos) << log;
    EXPECT_EQ(log.rfind("Job ended at "), log.rfind("\nJob ended at ") + 1) << log;

    std::string token = unique_mail_token("export-always");
    run = run_export_job(dir, export_job_xml(part, "", report_element("x=\"YES\" when=\"ALWAYS\"", token)));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("\r\nMail sent successfully"), std::string::npos) << run.out;
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_EQ(mail.parts[0].rfind(" Scheduled export started at:", 0), 0u) << mail.parts[0];
    EXPECT_NE(mail.parts[0].find("Exporting table t...Export successful..."), std::string::npos) << mail.parts[0];
    EXPECT_NE(mail.parts[0].find("Export job completed successfully at: "), std::string::npos);
}

// A job file the check refuses mails its findings as the failure report when the job asks
// for one: nothing was exported, and the mail says why.
TEST(ExportReport, RefusedJobFileMailsItsFindings) {
    TempDir dir;
    std::string token = unique_mail_token("export-refused");
    RunResult run = run_export_job(
        dir, export_job_xml("<databases><database name=\"kro_exp_mail\"><objects all=\"yes\"/></database></databases>"
                            "<script>" + dir.file("d.sql") + "</script>",
                            "<compresion>gzip</compresion>", report_element("send=\"yes\"", token)));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_FALSE(file_exists(dir.file("d.sql")));
    const std::string finding = "job.xml:5: error: <compresion> is not an element kro knows here; did you mean <compression>?";
    EXPECT_NE(run.out.find(finding), std::string::npos) << run.out;
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_NE(mail.parts[0].find("Export job was unsucessful."), std::string::npos) << mail.parts[0];
    EXPECT_NE(mail.parts[0].find(finding), std::string::npos) << mail.parts[0];
}

TEST(ExportReport, FailureIsMailedWithTheErrors) {
    make_mail_database();
    TempDir dir;
    std::string token = unique_mail_token("export-failed");
    RunResult run = run_export_job(
        dir, export_job_xml("<databases><database name=\"kro_exp_mail\"><objects><tables><table>nope</table></tables>"
                            "</objects></database></databases><script>" + dir.file("d.sql") + "</script>",
                            "", report_element("send=\"yes\"", token)));
    EXPECT_EQ(run.exit_code, 1);
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_NE(mail.parts[0].find("Table 'kro_exp_mail.nope' doesn't exist"), std::string::npos) << mail.parts[0];
    EXPECT_NE(mail.parts[0].find("Export job was unsucessful."), std::string::npos) << mail.parts[0];
    EXPECT_EQ(mail.header("Subject"), "export report");

    // Opted in, the subject shows the outcome and where kro ran; each attribute alone adds its part.
    const std::string failing = "<databases><database name=\"kro_exp_mail\"><objects><tables><table>nope</table>"
                                "</tables></objects></database></databases><script>" + dir.file("d.sql") + "</script>";
    token = unique_mail_token("export-subject");
    run = run_export_job(dir, export_job_xml(failing, "", report_element("send=\"yes\"", token,
                                                                         " outcome=\"yes\" host=\"YES\"")));
    StoredMail opted;
    ASSERT_TRUE(fetch_stored_mail(token, opted));
    EXPECT_EQ(opted.header("Subject"), "[failed] export report (" + host_name() + ")");
    token = unique_mail_token("export-subject-ok");
    run = run_export_job(dir, export_job_xml("<databases><database name=\"kro_exp_mail\"><objects all=\"yes\"/>"
                                             "</database></databases><script>" + dir.file("d.sql") + "</script>",
                                             "", report_element("send=\"yes\" when=\"always\"", token,
                                                                " outcome=\"yes\"")));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    StoredMail succeeded;
    ASSERT_TRUE(fetch_stored_mail(token, succeeded));
    EXPECT_EQ(succeeded.header("Subject"), "[succeeded] export report");
}

// Names and the error texts that quote them are escaped in the HTML report and in the
// session file: a name holding markup or a control byte neither injects into the page nor
// leaves the session file ill-formed.
TEST(ExportReport, MarkupAndControlBytesInNamesAreEscapedInTheReportAndTheSessionFile) {
    mariadb_exec("drop database if exists kro_exp_markup; create database kro_exp_markup; use kro_exp_markup;"
                 "create table `<b>t</b>` (id int primary key);"
                 "create view `<script>alert(1)</script>` as select id from `<b>t</b>`");
    TempDir dir;
    std::string token = unique_mail_token("export-markup");
    RunResult run = run_export_job(
        dir, export_job_xml("<databases><database name=\"kro_exp_markup\"><objects><tables all=\"yes\"/>"
                            "<views all=\"yes\"/><procedures><procedure>&lt;i&gt;p</procedure></procedures>"
                            "</objects></database></databases><script>" + dir.file("d.sql") + "</script>",
                            "", report_element("send=\"yes\"", token)));
    mariadb_exec("drop database kro_exp_markup");
    EXPECT_EQ(run.exit_code, 1);
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    const std::string& html = mail.parts[1];
    EXPECT_NE(html.find("Exporting table &lt;b&gt;t&lt;/b&gt;...Export successful..."), std::string::npos) << html;
    EXPECT_NE(html.find("Exporting view &lt;script&gt;alert(1)&lt;/script&gt;..."), std::string::npos) << html;
    EXPECT_NE(html.find("Procedure &#39;&lt;i&gt;p"), std::string::npos) << html;
    for (const char* raw : {"<script>", "<b>t", "<i>p"}) EXPECT_EQ(html.find(raw), std::string::npos) << raw;

    // A real XML parser reads the session file; its error holds the name as it was.
    RunResult parsed = run_program(
        "/usr/bin/python3",
        {"-c", "import sys, xml.etree.ElementTree as t; print(t.parse(sys.argv[1]).getroot().find('errors/error').text)",
         dir.file("krosession.xml")},
        dir.path());
    EXPECT_EQ(parsed.exit_code, 0) << read_file(dir.file("krosession.xml"));
    EXPECT_EQ(parsed.out, "Procedure '<i>p' doesn't exists!\n") << read_file(dir.file("krosession.xml"));
}

// The first line after at that holds more than blanks and line ends.
std::string next_text_line(const std::string& text, std::size_t at) {
    const std::size_t start = text.find_first_not_of("\r\n ", at);
    if (start == std::string::npos) return "";
    return text.substr(start, text.find_first_of("\r\n", start) - start);
}

// A stopped export: the server's session ends with kro, not a write time-out later (the
// server is blocked sending rows into a dump nobody reads on), and the first thing the
// console, the log and the mail say after the table's line is the stop, not what failed
// because of it.
TEST(ExportReport, StoppedExportEndsItsServerSessionAndSaysFirstThatItWasStopped) {
    mariadb_exec("create database if not exists kro_exp_stopped; create table if not exists kro_exp_stopped.big "
                 "(id int primary key, v varchar(200))");
    if (mariadb_value("select count(*) from kro_exp_stopped.big") != "200000")
        mariadb_exec("use kro_exp_stopped; truncate table big; insert into big select seq, repeat('y', 150) from "
                     "seq_1_to_200000");
    // A session left blocked would outlive the test by far.
    GlobalSetting write_timeout("net_write_timeout", "600");
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    ASSERT_EQ(mkfifo(dump.c_str(), 0600), 0);
    const std::string token = unique_mail_token("export-stopped");
    write_file(dir.file("job.xml"),
               export_job_xml("<databases><database name=\"kro_exp_stopped\"><objects all=\"yes\"/></database>"
                              "</databases><script>" + dump + "</script>",
                              "<bulkinsert>yes</bulkinsert>", report_element("send=\"yes\"", token)));
    StartedProgram kro(KRO_BINARY, {"job.xml"}, dir.path(), kro_environment());
    // Nothing is read from the dump's pipe yet: kro waits on it, and the server on kro.
    kro::platform::UniqueFd pipe(open(dump.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(pipe.valid());
    std::string session;
    for (int tries = 0; tries < 1200 && session.empty(); ++tries) {
        session = mariadb_value("select id from information_schema.processlist where state = 'Writing to net' and "
                                "info like 'select % from `kro_exp_stopped`.`big`%'");
        if (session.empty()) usleep(25 * 1000);
    }
    ASSERT_FALSE(session.empty());
    ASSERT_EQ(kill(kro.pid(), SIGTERM), 0);
    char buffer[65536];
    while (read(pipe.get(), buffer, sizeof buffer) > 0) {
    }
    RunResult run = kro.wait();
    EXPECT_EQ(run.exit_code, 128 + SIGTERM) << run.out;
    bool ended = false;
    for (int tries = 0; tries < 400 && !ended; ++tries) {
        ended = mariadb_value("select count(*) from information_schema.processlist where id = " + session) == "0";
        if (!ended) usleep(25 * 1000);
    }
    EXPECT_TRUE(ended) << "the server still serves the stopped export's session " << session;

    const std::string stopped = "The run was stopped by signal SIGTERM.";
    // Every error on the console is followed by the pointer to the log.
    EXPECT_NE(run.out.find("Exporting table big..."), std::string::npos) << run.out;
    EXPECT_LT(run.out.find(stopped), run.out.find("Check kro.log")) << run.out;
    EXPECT_EQ(run.out.find("Lost connection"), std::string::npos) << run.out;
    // In the log nothing of what failed because of the stop comes before it.
    const std::string log = read_file(dir.file("kro.log"));
    const std::string run_log = log.substr(log.rfind("Job started at "));
    const std::string before_stop = run_log.substr(0, run_log.find(stopped));
    EXPECT_NE(before_stop, run_log) << log;
    for (const char* failure : {"Lost connection", "rror"})
        EXPECT_EQ(before_stop.find(failure), std::string::npos) << log;
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    const std::size_t errors = mail.parts[0].find("Errors reported during the run:");
    ASSERT_NE(errors, std::string::npos) << mail.parts[0];
    EXPECT_EQ(next_text_line(mail.parts[0], errors + 32), stopped) << mail.parts[0];
}

}  // namespace
