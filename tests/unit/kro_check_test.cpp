// kro-check: every shipped example passes, and each broken job file gets a finding that
// names its mistake, with the line it is on.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "kro_test_support.h"

namespace {

RunResult check(const TempDir& dir, const std::string& job) {
    write_file(dir.file("job.xml"), job);
    return run_program(KRO_CHECK_BINARY, {"job.xml"}, dir.path());
}

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const char kServer[] = "<host>db</host><port>3306</port><user>u</user><pwd>p</pwd><database>d</database>";

// The files hold passwords: they are made private, as a job file in use must be.
TEST(KroCheck, AcceptsEveryExampleAndAValidJobOfEachKind) {
    std::vector<std::string> files;
    TempDir dir;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(KRO_SOURCE_DIR "/examples"))
        if (entry.path().extension() == ".xml") {
            files.push_back(dir.file("example_" + entry.path().filename().string()));
            write_file(files.back(), read_file(entry.path().string()));
        }
    ASSERT_GE(files.size(), 2u);
    const std::string s = kServer;
    const std::vector<std::string> kinds = {
        "<syncjob><source>" + s + "</source><target>" + s + "</target>"
        "<tables all=\"no\"><table><name>`t`</name><columns><column>id</column></columns>"
        "<sqlwhere>id &gt; 5</sqlwhere></table></tables><twowaysync value=\"yes\"/><sync_action type=\"script\">"
        "<file>/tmp/s.sql</file></sync_action><abortonerror value=\"no\"/></syncjob>",
        "<odbcimport><source>" + s + "</source><dsn type=\"system\"><name>sales</name></dsn>"
        "<tables all=\"no\"><table source=\"orders\" target=\"\"><ddl onconflict=\"drop\"/><dml onconflict=\"skip\" "
        "import=\"yes\"/><columns><column><source>id</source><type>int</type><primary>yes</primary></column>"
        "</columns><whereclause><![CDATA[id < 10 && id > 0]]></whereclause></table></tables>"
        "<onerror value=\"yes\"/><abortonerror>no</abortonerror></odbcimport>",
        "<notifyjob><source>" + s + "</source><query><![CDATA[select * from t where a < 3]]></query>"
        "<result value=\"no\"/></notifyjob>",
    };
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        files.push_back(dir.file("kind" + std::to_string(i) + ".xml"));
        write_file(files.back(), kDeclaration + ("<job>" + kinds[i] + "</job>\n"));
    }
    for (const std::string& file : files) chmod(file.c_str(), 0600);
    RunResult run = run_program(KRO_CHECK_BINARY, files, dir.path());
    EXPECT_EQ(run.exit_code, 0) << run.out;
    for (const std::string& file : files) EXPECT_NE(run.out.find(file + ": valid\n"), std::string::npos) << run.out;
}

TEST(KroCheck, NamesTheMistakeOfEachBrokenJobFile) {
    const std::string s = kServer;
    struct Case {
        std::string job;
        std::string finding;  // expected in the output, after "job.xml:"
    };
    const std::vector<Case> cases = {
        // A misspelt option, with the name meant.
        {"<job><exportjob><source>" + s + "</source>\n<options><singletransacton>yes</singletransacton></options>"
         "</exportjob></job>",
         "2: error: <singletransacton> is not an element kro knows here; did you mean <singletransaction>?"},
        {"<job><notifyjob><source>" + s + "</source><query>select 1</query>\n<smtp><host>m</host>"
         "<encrypt>tls</encrypt></smtp></notifyjob></job>",
         "2: error: <encrypt> is not an element kro knows here; did you mean <encryption>?"},
        // Switches read from the first attribute, and the one read from the text.
        {"<job><exportjob><source>" + s + "</source>\n<sendreport when=\"always\" value=\"yes\"/></exportjob></job>",
         "2: error: <sendreport> is switched by its first attribute, when=\"always\", which is neither yes nor no: "
         "kro refuses the job file; put value=\"yes\" first"},
        {"<job><syncjob><source>" + s + "</source>\n<abortonerror>yes</abortonerror></syncjob></job>",
         "2: error: <abortonerror> is read from its first attribute, not from its text: kro refuses the job file"},
        {"<job><syncjob><source>" + s + "</source>\n<dontdelfromtarget value=\"true\"/></syncjob></job>",
         "2: error: <dontdelfromtarget> is switched by its first attribute, value=\"true\", which is neither yes "
         "nor no: kro refuses the job file"},
        {"<job><syncjob><source>" + s + "</source>\n<sync_action type=\"scriptonly\"/></syncjob></job>",
         "2: error: <sync_action> type=\"scriptonly\" is not directsync, script or all: kro refuses the job file"},
        {"<job><notifyjob><source>" + s + "</source><query>select 1</query>\n<result value=\"maybe\"/></notifyjob></job>",
         "2: error: <result> is switched by its first attribute, value=\"maybe\", which is neither yes nor no"},
        {"<job><exportjob><source>" + s + "</source>\n<abortonerror value=\"yes\"/></exportjob></job>",
         "2: error: <abortonerror> is read from its text here, not from an attribute: kro refuses the job file"},
        // SQL that breaks the XML, and what comes before the job element.
        {"<job><notifyjob><source>" + s + "</source>\n<query>select * from t where a < 3</query></notifyjob></job>",
         "2: error: not well-formed XML: StartTag: invalid element name; SQL in <query> that holds \"<\" or \"&\" "
         "must be written inside <![CDATA[ ... ]]>"},
        {"<job><notifyjob><source>" + s + "</source>\n<query>select 1 from t where a<b>0</query></notifyjob></job>",
         "2: error: not well-formed XML: Opening and ending tag mismatch: b line 2 and query; SQL in <query>"},
        {"<job><odbcimport><source>" + s + "</source><dsn><name>x</name></dsn><tables all=\"no\"><table source=\"t\">"
         "\n<whereclause>a = 1 && b = 2</whereclause></table></tables></odbcimport></job>",
         "2: error: not well-formed XML: xmlParseEntityRef: no name; SQL in <whereclause>"},
        {"<job>\n<!-- nightly -->\n<exportjob><source>" + s + "</source></exportjob></job>",
         "2: error: a comment before the job element inside <job>: kro stops with \"Invalid JOB TYPE selected.\""},
        {"<job><exportjob><source>\n<host>bücher</host></source></exportjob></job>",
         "2: warning: non-ASCII text in a job file without an XML declaration"},
        // Values kro reads otherwise than written, and what an entry cannot do without.
        {"<job><exportjob><source>" + s + "</source><export>\n<databases all=\"every\"/></export></exportjob></job>",
         "2: error: Element 'databases', attribute 'all': [facet 'pattern'] The value 'every' is not accepted"},
        {"<job><exportjob><source>" + s + "</source><export>\n<databases al=\"yes\"/></export></exportjob></job>",
         "2: error: <databases> has no attribute al that kro knows; did you mean all?"},
        {"<job><exportjob><source>" + s + "</source><options>\n<chunklimit>-5</chunklimit></options></exportjob></job>",
         "2: error: Element 'chunklimit': '-5' is not a valid value"},
        {"<job><syncjob><source>" + s + "\n<port>70000</port></source></syncjob></job>",
         "2: error: Element 'port': '70000' is not a valid value"},
        {"<job><exportjob><source>" + s + "</source><options>\n<compression>zstd:23</compression></options>"
         "</exportjob></job>",
         "2: error: Element 'compression': [facet 'pattern'] The value 'zstd:23' is not accepted by the pattern"},
        {"<job><exportjob><source>" + s + "\n<ssl>yes</ssl></source></exportjob></job>",
         "2: error: Element 'ssl': [facet 'enumeration'] The value 'yes' is not an element of the set {'0', '1'}"},
        {"<job><odbcimport><source>" + s + "</source><tables all=\"no\">\n<table target=\"x\"><dml/></table>"
         "</tables></odbcimport></job>",
         "2: error: Element 'table': The attribute 'source' is required but missing."},
        {"<job><syncjob><source>" + s + "</source><tables all=\"no\"><table><name>t</name>\n<colums all=\"yes\"/>"
         "</table></tables></syncjob></job>",
         "2: error: <colums> is not an element kro knows here; did you mean <columns>?"},
        {"<job><backupjob/></job>", "1: error: <backupjob> is not an element kro knows here"},
        // Names guessed only from what may stand in that place.
        {"<job><syncjob><source>" + s + "</source>\n<tabels all=\"yes\"/></syncjob></job>",
         "2: error: <tabels> is not an element kro knows here; did you mean <tables>?"},
        {"<job><syncjob><source>" + s + "</source><tables all=\"no\">\n<tabel><name>t</name></tabel></tables>"
         "</syncjob></job>",
         "2: error: <tabel> is not an element kro knows here; did you mean <table>?"},
        // A job that selects nothing to do.
        {"<job><exportjob><source>" + s + "</source><export><databases><database name=\"shop\">"
         "<objects all=\"yes\"/></database>\n<database name=\"crm\"/></databases></export></exportjob></job>",
         "2: error: <database name=\"crm\"> selects no object to export"},
        {"<job><exportjob><source>" + s + "</source><export>\n<databases/></export></exportjob></job>",
         "2: error: <databases> lists no <database>: it selects nothing to export"},
        {"<job><syncjob><source>" + s + "</source>\n<tables all=\"No\"/></syncjob></job>",
         "2: error: <tables all=\"no\"> lists no <table>: it selects nothing to sync"},
        {"<job><odbcimport><source>" + s + "</source><dsn><name>x</name></dsn>\n<tables all=\"no\"/></odbcimport></job>",
         "2: error: <tables> lists no <table>: it selects nothing to import"},
        {"<job>\n<notifyjob><source>" + s + "</source></notifyjob></job>",
         "2: error: <notifyjob> has no <query>, which kro needs to run it"},
        {"<job><odbcimport><source>" + s + "</source><dsn><name>x</name></dsn>\n<tables/></odbcimport></job>",
         "2: error: <tables> without an attribute makes kro refuse the job file"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        RunResult run = check(dir, c.job);
        EXPECT_EQ(run.exit_code, 1) << c.job;
        EXPECT_NE(run.out.find("job.xml:" + c.finding), std::string::npos) << c.job << "\n" << run.out;
    }
}

// A password in a file that others may read is given away; kro's own group may read it.
TEST(KroCheck, WarnsAboutAPasswordInAFileOthersMayRead) {
    TempDir dir;
    const std::string job = std::string(kDeclaration) + "<job><notifyjob><source>" + kServer +
                            "</source><query>select 1</query></notifyjob></job>\n";
    write_file(dir.file("job.xml"), job);
    for (mode_t mode : {0644, 0640}) {
        chmod(dir.file("job.xml").c_str(), mode);
        RunResult run = run_program(KRO_CHECK_BINARY, {"job.xml"}, dir.path());
        EXPECT_EQ(run.exit_code, 1) << run.out;
        EXPECT_NE(run.out.find(std::string("job.xml: warning: the file holds a password and is readable by ") +
                               (mode == 0644 ? "others (mode 0644)" : "its group (mode 0640)")),
                  std::string::npos)
            << run.out;
    }
    chmod(dir.file("job.xml").c_str(), 0600);
    EXPECT_EQ(run_program(KRO_CHECK_BINARY, {"job.xml"}, dir.path()).exit_code, 0);
    std::string without = job;
    without.replace(without.find("<pwd>p</pwd>"), 12, "<pwd></pwd>");
    write_file(dir.file("job.xml"), without);
    chmod(dir.file("job.xml").c_str(), 0644);
    EXPECT_EQ(run_program(KRO_CHECK_BINARY, {"job.xml"}, dir.path()).exit_code, 0);
}

}  // namespace
