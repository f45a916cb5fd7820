// The export job's report mail, through the test SMTP sink.
#include <gtest/gtest.h>

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

    // Databases listed after the first are not exported: a warning names them, the outcome stays.
    std::string token = unique_mail_token("export-always");
    std::string listed = part;
    listed.insert(listed.find("</databases>"), "<database name=\"kro_left_a\"/><database name=\"kro_left_b\"/>");
    run = run_export_job(dir, export_job_xml(listed, "", report_element("x=\"YES\" when=\"ALWAYS\"", token)));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    const std::string left = "(kro_exp_mail); not exported: kro_left_a, kro_left_b.";
    EXPECT_NE(run.out.find(left), std::string::npos) << run.out;
    EXPECT_NE(read_file(dir.file("kro.log")).find(left), std::string::npos);
    EXPECT_NE(run.out.find("\r\nMail sent successfully"), std::string::npos) << run.out;
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_EQ(mail.parts[0].rfind(" Scheduled export started at:", 0), 0u) << mail.parts[0];
    EXPECT_NE(mail.parts[0].find("Exporting table t...Export successful..."), std::string::npos) << mail.parts[0];
    EXPECT_NE(mail.parts[0].find("Export job completed successfully at: "), std::string::npos);
    EXPECT_NE(mail.parts[0].find(left), std::string::npos) << mail.parts[0];
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
                            "<views all=\"yes\"/><procedures><procedure>&lt;i&gt;p&#x1;</procedure></procedures>"
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

    // A real XML parser reads the session file; its error holds the name as it was, the
    // control byte (which no XML file may hold) as the replacement character.
    RunResult parsed = run_program(
        "/usr/bin/python3",
        {"-c", "import sys, xml.etree.ElementTree as t; print(t.parse(sys.argv[1]).getroot().find('errors/error').text)",
         dir.file("krosession.xml")},
        dir.path());
    EXPECT_EQ(parsed.exit_code, 0) << read_file(dir.file("krosession.xml"));
    EXPECT_EQ(parsed.out, "Procedure '<i>p\xEF\xBF\xBD' doesn't exists!\n") << read_file(dir.file("krosession.xml"));
}

}  // namespace
