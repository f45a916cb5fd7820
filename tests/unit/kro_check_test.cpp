// kro-check: every shipped example passes, and each broken job file gets a finding that
// names its mistake, with the line it is on.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "kro_test_support.h"

namespace {

RunResult check(const TempDir& dir, const std::string& job) {
    write_file(dir.file("job.xml"), job);
    return run_program(KRO_CHECK_BINARY, {"job.xml"}, dir.path());
}

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const char kServer[] = "<host>db</host><port>3306</port><user>u</user><pwd>p</pwd><database>d</database>";

// A listening port of the test's own: whoever connects to it is seen, and nobody is served.
class ListeningPort {
public:
    ListeningPort() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(fd_, 16), 0);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~ListeningPort() { close(fd_); }
    int port() const { return port_; }
    // Whether a connection has come in since the last call.
    bool connected() {
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0) return false;
        close(client);
        return true;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The README's job-file snippets, each made a whole job file: a server element or a
// sendreport or a databases element goes into an export job, a query into a notification job, and "..."
// placeholders become real settings.
std::vector<std::string> readme_job_files() {
    const std::string readme = read_file(KRO_SOURCE_DIR "/README.md");
    const std::string server = kServer;
    const std::string smtp = "<host>m</host><displayname>k</displayname><toemail>a@b</toemail><subject>s</subject>";
    const std::string export_rest = "<export><databases all=\"yes\"/><script>/tmp/x.sql</script></export>";
    std::vector<std::string> files;
    const std::regex block("```xml\n([\\s\\S]*?)```");
    for (auto m = std::sregex_iterator(readme.begin(), readme.end(), block); m != std::sregex_iterator(); ++m) {
        std::string xml = (*m)[1];
        xml.erase(0, xml.find_first_not_of(' '));
        for (auto [placeholder, value] : {std::pair<std::string, std::string>{"...server settings (see above)...", server},
                                          {"<smtp>...</smtp>", "<smtp>" + smtp + "</smtp>"}}) {
            for (std::size_t at = xml.find(placeholder); at != std::string::npos; at = xml.find(placeholder))
                xml.replace(at, placeholder.size(), value);
        }
        const std::string start = xml.substr(0, xml.find_first_of(" >"));
        if (start == "<source")
            xml = "<job><exportjob>" + xml + export_rest + "</exportjob></job>";
        else if (start == "<sendreport")
            xml = "<job><exportjob><source>" + server + "</source>" + export_rest + xml + "</exportjob></job>";
        else if (start == "<databases")
            xml = "<job><exportjob><source>" + server + "</source><export>" + xml + "<script>/tmp/x.sql</script>"
                  "</export></exportjob></job>";
        else if (start == "<query")
            xml = "<job><notifyjob><source>" + server + "</source>" + xml + "</notifyjob></job>";
        files.push_back(kDeclaration + xml);
    }
    return files;
}

// The files hold passwords: they are made private, as a job file in use must be. Every
// example and every job-file snippet of the README passes the check kro runs.
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
    const std::vector<std::string> snippets = readme_job_files();
    ASSERT_GE(snippets.size(), 4u);
    for (std::size_t i = 0; i < snippets.size(); ++i) {
        files.push_back(dir.file("readme" + std::to_string(i) + ".xml"));
        write_file(files.back(), snippets[i]);
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
         "2: error: \"every\" is not a value the attribute all of <databases> takes (yes or no)"},
        {"<job><exportjob><source>" + s + "</source><export>\n<databases al=\"yes\"/></export></exportjob></job>",
         "2: error: <databases> has no attribute al that kro knows; did you mean all?"},
        {"<job><exportjob><source>" + s + "</source><options>\n<chunklimit>-5</chunklimit></options></exportjob></job>",
         "2: error: \"-5\" is not a value <chunklimit> takes (a whole number of 1 or more, or nothing)"},
        {"<job><syncjob><source>" + s + "\n<port>70000</port></source></syncjob></job>",
         "2: error: \"70000\" is not a value <port> takes (a port number from 1 to 65535, or nothing)"},
        {"<job><exportjob><source>" + s + "</source><options>\n<compression>zstd:23</compression></options>"
         "</exportjob></job>",
         "2: error: \"zstd:23\" is not a value <compression> takes (no, gzip, gzip:1 to gzip:9, zstd, or zstd:1 to zstd:22)"},
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

// kro runs the same check before it connects: a misspelt element, an unknown attribute or a
// wrong value in any job kind ends the run with exit code 1 and the element and its line on
// the console, in the log and in the session file, and nothing reaches the servers' port.
// A warning is printed and logged, and the run goes on.
TEST(KroCheck, KroRefusesAJobFileWithAnErrorBeforeConnectingAnywhere) {
    ListeningPort port;
    std::string s = kServer;
    s.replace(s.find("3306"), 4, std::to_string(port.port()));
    s.replace(s.find("db"), 2, "127.0.0.1");
    struct Case {
        std::string job;
        std::string finding;
    };
    const std::vector<Case> cases = {
        {"<exportjob><source>" + s + "</source><export><databases>\n<databse name=\"crm\"/></databases>"
         "<script>x.sql</script></export></exportjob>",
         "job.xml:3: error: <databse> is not an element kro knows here; did you mean <database>?"},
        {"<exportjob><source>" + s + "</source><export><databases all=\"yes\"/><script>x.sql</script></export>"
         "<options>\n<singletransaction>true</singletransaction></options></exportjob>",
         "job.xml:3: error: \"true\" is not a value <singletransaction> takes (yes or no)"},
        {"<syncjob><source>" + s + "</source><target>" + s + "</target><tables all=\"yes\"/>\n"
         "<dontdelfromtraget value=\"yes\"/></syncjob>",
         "job.xml:3: error: <dontdelfromtraget> is not an element kro knows here; did you mean <dontdelfromtarget>?"},
        {"<syncjob><source>" + s + "</source><target>" + s + "</target>\n<tables all=\"yes\" only=\"t\"/></syncjob>",
         "job.xml:3: error: <tables> has no attribute only that kro knows"},
        {"<notifyjob><source>" + s + "</source><query>select 1</query><smtp><host>m</host></smtp>\n"
         "<includequery value=\"ja\"/></notifyjob>",
         "job.xml:3: error: <includequery> is switched by its first attribute, value=\"ja\", which is neither yes nor no"},
        {"<odbcimport><source>" + s + "</source><dsn type=\"system\"><name>x</name></dsn><tables all=\"yes\"/>\n"
         "<abortonerror>maybe</abortonerror></odbcimport>",
         "job.xml:3: error: \"maybe\" is not a value <abortonerror> takes (yes or no)"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        write_file(dir.file("job.xml"), std::string(kDeclaration) + "<job>" + c.job + "</job>\n");
        chmod(dir.file("job.xml").c_str(), 0600);
        std::filesystem::remove(dir.file("kro.log"));
        RunResult run = run_kro({"job.xml"}, dir.path());
        EXPECT_EQ(run.exit_code, 1) << c.job;
        EXPECT_NE(run.out.find(c.finding), std::string::npos) << run.out;
        EXPECT_NE(read_file(dir.file("kro.log")).find(c.finding), std::string::npos);
        EXPECT_NE(read_file(dir.file("krosession.xml")).find("job.xml:3: error: "), std::string::npos);
        EXPECT_EQ(run.out.find("Job started at"), std::string::npos);
        EXPECT_FALSE(port.connected()) << c.job;
    }
    // A warning only: the run goes on to the server (here a closed port).
    const int closed_port = [] {
        ListeningPort p;
        return p.port();
    }();
    std::string closed = kServer;
    closed.replace(closed.find("3306"), 4, std::to_string(closed_port));
    closed.replace(closed.find("db"), 2, "127.0.0.1");
    write_file(dir.file("job.xml"), std::string(kDeclaration) + "<job><exportjob><source>" + closed +
                                        "</source><export><databases all=\"yes\"/><script>x.sql</script></export>"
                                        "</exportjob></job>\n");
    chmod(dir.file("job.xml").c_str(), 0644);
    RunResult run = run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("job.xml: warning: the file holds a password and is readable by others"), std::string::npos)
        << run.out;
    EXPECT_NE(read_file(dir.file("kro.log")).find("job.xml: warning: the file holds a password"), std::string::npos);
    EXPECT_NE(run.out.find("Job started at"), std::string::npos) << run.out;
    EXPECT_EQ(read_file(dir.file("krosession.xml")).find("warning"), std::string::npos);
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
