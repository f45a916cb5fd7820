// Reading an exportjob job file, and the checks made before anything connects.
#include <gtest/gtest.h>

#include <tinyxml2.h>

#include "export/export_settings.h"
#include "kro_test_support.h"

using namespace kro::common;
using namespace kro::export_;

namespace {

const char kSource[] = "<source><host>h</host><port>3306</port><user>u</user><database>db1</database></source>";

ExportJob read_job(const std::string& body, int expected = 1) {
    tinyxml2::XMLDocument doc;
    std::string xml = "<job><exportjob>" + std::string(kSource) + body + "</exportjob></job>";
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
    ExportJob job;
    int code = 0;
    StrBuf text;
    EXPECT_EQ(read_export_job(doc, job, 1, code, text), expected);
    return job;
}

TEST(ExportSettings, WrongDocumentOrMissingSourceGiveTheirCodes) {
    for (const char* xml : {"<jobs><exportjob/></jobs>", "<job><syncjob/></job>"}) {
        tinyxml2::XMLDocument doc;
        doc.Parse(xml);
        ExportJob job;
        int code = 0;
        StrBuf text;
        EXPECT_EQ(read_export_job(doc, job, 1, code, text), 0);
        EXPECT_EQ(code, 1);
        EXPECT_EQ(text.str(), "Invalid job file.");
    }
    tinyxml2::XMLDocument doc;
    doc.Parse("<JOB><ExportJob><export/></ExportJob></JOB>");
    ExportJob job;
    int code = 0;
    StrBuf text;
    EXPECT_EQ(read_export_job(doc, job, 1, code, text), 0);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(text.str(), "Source server details not provided.");
}

TEST(ExportSettings, MissingOptionsLeaveEverythingOffAndPresentOptionsGiveDefaults) {
    ExportJob none = read_job("<export><script>x.sql</script></export>");
    EXPECT_EQ(none.options.bulksize, 0);
    EXPECT_EQ(none.options.chunklimit, 0);
    EXPECT_TRUE(none.options.usecharset.empty());
    EXPECT_EQ(none.to_file, 1);
    EXPECT_EQ(none.path.str(), "x.sql");

    ExportJob some = read_job("<export/><options><bulkinsert>YES</bulkinsert><chunklimit></chunklimit></options>");
    EXPECT_EQ(some.options.bulkinsert, 1);
    EXPECT_EQ(some.options.bulksize, 1000);
    EXPECT_EQ(some.options.chunklimit, 1000);
    EXPECT_EQ(some.options.usecharset.str(), "utf8");

    EXPECT_TRUE(read_job("<options><usecharset>No</usecharset></options>").options.usecharset.empty());
    EXPECT_EQ(read_job("<options><usecharset>latin1</usecharset></options>").options.usecharset.str(), "latin1");
    EXPECT_EQ(read_job("<options><bulksize>64</bulksize><flushlogs>1</flushlogs></options>").options.bulksize, 64);
    EXPECT_EQ(read_job("<options><flushlogs>1</flushlogs></options>").options.flushlogs, 0);
}

TEST(ExportSettings, FormBAllTablesTakesViewsRoutinesAndTriggersFromTheOptions) {
    ExportJob job = read_job(
        "<export><tables/><script fileordir=\"DIR\" timestamp=\"Yes\" timestampdir=\"no\">/d</script></export>"
        "<options><createview>yes</createview><createtrigger>yes</createtrigger><dropobjects>yes</dropobjects>"
        "<dropevent>yes</dropevent></options>");
    EXPECT_EQ(job.all_of_kind[kTables], 1);
    EXPECT_EQ(job.all_of_kind[kViews], 1);
    EXPECT_EQ(job.all_of_kind[kProcedures], 0);
    EXPECT_EQ(job.all_of_kind[kTriggers], 1);
    EXPECT_EQ(job.all_of_kind[kEvents], 0);
    EXPECT_EQ(job.to_file, 0);
    EXPECT_EQ(job.timestamp, 1);
    EXPECT_EQ(job.timestampdir, 0);
    EXPECT_EQ(job.source.database.str(), "db1");

    ExportJob listed = read_job("<export><tables all=\"no\"><table>a</table><table>b</table></tables></export>");
    EXPECT_EQ(listed.all_of_kind[kTables], 0);
    EXPECT_EQ(listed.lists[kTables], (std::vector<std::string>{"a", "b"}));
    ExportJob empty = read_job("<export><tables all=\"no\"/></export>");
    EXPECT_EQ(empty.all_of_kind[kTables], 0);
    EXPECT_TRUE(empty.lists[kTables].empty());
}

TEST(ExportSettings, FormANamesOneDatabaseAndItsObjectLists) {
    ExportJob job = read_job(
        "<export><databases><database name=\"shop\"><objects>"
        "<tables><table>t1</table><table></table><table>t3</table></tables>"
        "<views all=\"yes\"/><procedures all=\"YES\"><procedure>p</procedure></procedures>"
        "<events><event>e1</event></events></objects></database>"
        "<database name=\"other\"/></databases></export>");
    EXPECT_EQ(job.source.database.str(), "shop");
    EXPECT_EQ(job.lists[kTables], (std::vector<std::string>{"t1"}));
    EXPECT_EQ(job.all_of_kind[kViews], 1);
    EXPECT_EQ(job.options.createview, 1);
    EXPECT_EQ(job.all_of_kind[kProcedures], 1);
    EXPECT_EQ(job.options.createprocedure, 1);
    EXPECT_EQ(job.lists[kEvents], (std::vector<std::string>{"e1"}));

    ExportJob all = read_job("<export><databases all=\"yes\" mysqldb=\"yes\"><database name=\"x\"/></databases></export>");
    EXPECT_EQ(all.all_databases, 1);
    EXPECT_EQ(all.include_mysql_db, 1);
    EXPECT_EQ(all.source.database.str(), "db1");
    // Yes in any letter case: read as no, these exported nothing and passed for a success.
    EXPECT_EQ(read_job("<export><databases all=\"Yes\" mysqldb=\"YES\"/></export>").include_mysql_db, 1);
    EXPECT_EQ(read_job("<export><databases><database name=\"x\"><objects all=\"YES\"/></database></databases></export>")
                  .all_objects,
              1);
}

TEST(ExportSettings, ReportAndAbortKeys) {
    ExportJob job = read_job("<abortonerror>YES</abortonerror><sendreport any=\"YES\" when=\"ALWAYS\"><smtp/></sendreport>");
    EXPECT_EQ(job.abortonerror, 1);
    EXPECT_EQ(job.report.send_report, 1);
    EXPECT_EQ(job.report.report_always, 1);
}

// The checks run in kro itself: message on the console, in the log and the session file.
// A kind kro does not know is refused before anything connects, not read as none.
TEST(ExportSettings, CompressionIsNoGzipOrZstdWithALevelAndAnythingElseIsRefused) {
    using kro::platform::CompressionKind;
    EXPECT_EQ(read_job("<options><bulkinsert>yes</bulkinsert></options>").options.compression.kind,
              CompressionKind::none);
    const struct {
        const char* text;
        CompressionKind kind;
        int level;
    } accepted[] = {{"no", CompressionKind::none, 0},   {" NO ", CompressionKind::none, 0},
                    {"gzip", CompressionKind::gzip, 0}, {"GZip:9", CompressionKind::gzip, 9},
                    {"zstd", CompressionKind::zstd, 0}, {"zstd:22", CompressionKind::zstd, 22}};
    for (const auto& a : accepted) {
        ExportJob job = read_job(std::string("<options><compression>") + a.text + "</compression></options>");
        EXPECT_EQ(job.options.compression.kind, a.kind) << a.text;
        EXPECT_EQ(job.options.compression.level, a.level) << a.text;
        EXPECT_TRUE(job.setting_error.empty()) << a.text;
    }
    for (const char* refused : {"lz4", "yes", "gzip:0", "gzip:10", "zstd:23", "zstd:", "zstd:-1", "zstd:1x", "gzip 9"}) {
        ExportJob job = read_job(std::string("<options><compression>") + refused + "</compression></options>");
        EXPECT_EQ(job.options.compression.kind, CompressionKind::none) << refused;
        EXPECT_NE(job.setting_error.find(std::string("\"") + refused + "\" in <compression>"), std::string::npos)
            << refused << ": " << job.setting_error;
    }
    TempDir dir;
    write_file(dir.file("job.xml"), "<job><exportjob><source><host>127.0.0.1</host><port>1</port><user>u</user></source>"
                                    "<export><databases all=\"yes\"/><script>x</script></export><options>"
                                    "<compression>lz4</compression></options></exportjob></job>");
    RunResult run = run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("job.xml:1: error: \"lz4\" is not a value <compression> takes (no, gzip,"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Job started at"), std::string::npos);
}

struct Check {
    const char* job_body;
    const char* message;
};

TEST(ExportValidation, FirstFailingCheckIsReportedBeforeConnecting) {
    const std::string ok_source = "<source><host>127.0.0.1</host><port>1</port><user>u</user></source>";
    const Check checks[] = {
        {"<source><host>h</host><user>u</user></source><export><databases all=\"yes\"/><script>x</script></export>",
         "Source SERVER information not complete (<port> is missing)\r\n"},
        {"<source><host>h</host><port>1</port></source><export><databases all=\"yes\"/><script>x</script></export>",
         "Source SERVER information not complete (<user> is missing)\r\n"},
        {"<export><databases all=\"yes\"/><script></script></export>", "Export file or directory name not specified."},
        {"<export><databases all=\"yes\"/><script>x</script></export><sendreport send=\"yes\"><smtp/></sendreport>",
         "Please specify your SMTP host address\r\n"},
        {"<export><databases all=\"yes\"/><script>x</script></export><sendreport send=\"yes\"><smtp><host>m</host>"
         "</smtp></sendreport>",
         "Please specify EMAIL FROM name\r\n"},
        {"<export><databases all=\"yes\"/><script>x</script></export><sendreport send=\"yes\"><smtp><host>m</host>"
         "<displayname>k</displayname></smtp></sendreport>",
         "You should provide TO email address\r\n"},
    };
    for (const Check& check : checks) {
        TempDir dir;
        std::string body = check.job_body;
        if (body.find("<source>") == std::string::npos)
            body = ok_source + body;
        write_file(dir.file("job.xml"), "<?xml version=\"1.0\"?><job><exportjob>" + body + "</exportjob></job>");
        RunResult run = run_kro({"job.xml"}, dir.path());
        EXPECT_EQ(run.exit_code, 1) << check.message;
        EXPECT_NE(run.out.find(check.message), std::string::npos) << check.message << "\n" << run.out;
        EXPECT_EQ(run.out.find("Job started at"), std::string::npos);
        std::string entry = check.message;  // as the session file's XML writes it
        for (std::size_t at; (at = entry.find_first_of("<>")) != std::string::npos;)
            entry.replace(at, 1, entry[at] == '<' ? "&lt;" : "&gt;");
        EXPECT_NE(read_file(dir.file("krosession.xml")).find("<error>" + entry), std::string::npos) << entry;
    }
}

TEST(ExportValidation, MissingSubjectOnlyWarnsAndTunnelSettingsAreChecked) {
    TempDir dir;
    write_file(dir.file("job.xml"),
               "<job><exportjob><source><host>h</host><port>1</port><user>u</user>"
               "<tunnelinfo type=\"http\"><url></url></tunnelinfo></source><export><databases all=\"yes\"/><script>x</script>"
               "</export>"
               "<sendreport send=\"yes\"><smtp><host>m</host><displayname>k</displayname><toemail>a@b</toemail>"
               "</smtp></sendreport></exportjob></job>");
    RunResult run = run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(run.exit_code, 1);
    std::size_t warning = run.out.find("WARNING : No subject for email provided.\r\n");
    std::size_t failure = run.out.find("Please specify a HTTP tunneling URL\r\n");
    ASSERT_NE(warning, std::string::npos) << run.out;
    ASSERT_NE(failure, std::string::npos) << run.out;
    EXPECT_LT(warning, failure);
    std::string session = read_file(dir.file("krosession.xml"));
    EXPECT_EQ(session.find("WARNING"), std::string::npos);

    write_file(dir.file("job.xml"),
               "<job><exportjob><source><host>h</host><port>1</port><user>u</user>"
               "<tunnelinfo type=\"ssh\"><sshhost></sshhost></tunnelinfo></source><export><databases all=\"yes\"/>"
               "<script>x</script></export>"
               "</exportjob></job>");
    run = run_kro({"job.xml"}, dir.path());
    EXPECT_NE(run.out.find("Please specify the SSH server host.\r\n"), std::string::npos) << run.out;
}

}  // namespace

TEST(ExportSettings, KeepIsAWholeNumberOfOneOrMoreAndAnythingElseIsRefused) {
    EXPECT_EQ(read_job("<options><keep> 7 </keep></options>").options.keep, 7);
    EXPECT_EQ(read_job("<options><bulkinsert>yes</bulkinsert></options>").options.keep, 0);
    for (const char* refused : {"0", "-1", "two", "3x", "1e3"}) {
        ExportJob job = read_job(std::string("<options><keep>") + refused + "</keep></options>");
        EXPECT_EQ(job.options.keep, 0) << refused;
        EXPECT_NE(job.setting_error.find(std::string("\"") + refused + "\" in <keep>"), std::string::npos) << refused;
    }
}
