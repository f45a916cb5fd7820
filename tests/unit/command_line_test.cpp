#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kro_test_support.h"

namespace {

const std::string kBannerLine = "Velmar Job Agent Version 8.2 ";
const std::string kNoJob = "\r\nCould not open JOB file or no INPUT JOB file\r\n";
const std::string kInvalidKind = "<?xml version=\"1.0\"?><job><nosuchjob/></job>";

std::size_t entries_in(const std::string& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(CommandLine, NoArgumentsOrAskingForHelpPrintsBannerAndUsage) {
    TempDir dir;
    // No job named is a failed start; the usage asked for is not.
    for (auto [words, code] : {std::pair{std::vector<std::string>{}, 1}, std::pair{std::vector<std::string>{"--help"}, 0},
                               std::pair{std::vector<std::string>{"-h"}, 0}}) {
        RunResult r = run_kro(words, dir.path());
        EXPECT_EQ(r.exit_code, code) << r.out;
        EXPECT_EQ(r.out.rfind(kBannerLine + "\n", 0), 0u);
        EXPECT_NE(r.out.find("\n\nUsage : kro [job file] -l[logfile] -s[sessionfile]\n\n"), std::string::npos);
        EXPECT_TRUE(ends_with(r.out, "By default, the tool uses the filename 'krosession.xml'.\n\n"));
    }
    EXPECT_EQ(entries_in(dir.path()), 0u);
}

TEST(CommandLine, VersionPrintsOnlyTheBannerLineWithTwoBlanks) {
    TempDir dir;
    for (const char* word : {"-v", "--version"}) {
        RunResult r = run_kro({word}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << word;
        EXPECT_EQ(r.out, kBannerLine + " \n") << word;
    }
}

TEST(CommandLine, CapitalisedVersionWordsAreIgnoredOptions) {
    TempDir dir;
    for (const char* word : {"-V", "--Version"}) {
        RunResult r = run_kro({word}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << word;
        EXPECT_TRUE(ends_with(r.out, kNoJob)) << r.out;
        EXPECT_NE(r.out.find(kBannerLine), std::string::npos);
    }
    EXPECT_EQ(entries_in(dir.path()), 0u);
}

TEST(CommandLine, VersionWordBesideAJobFileIsIgnored) {
    TempDir dir;
    write_file(dir.file("job.xml"), kInvalidKind);
    RunResult r = run_kro({"-v", "job.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Invalid JOB TYPE selected.\r\n"), std::string::npos);
}

TEST(CommandLine, BareLogOrSessionOptionFailsWithoutCreatingFiles) {
    TempDir dir;
    write_file(dir.file("job.xml"), kInvalidKind);
    RunResult r = run_kro({"job.xml", "-l"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.out, "\nInvalid parameter for Logfile.\n"));
    r = run_kro({"-lmy.log", "job.xml", "-s"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.out, "\nInvalid parameter for Session Errorfile.\n"));
    EXPECT_EQ(entries_in(dir.path()), 1u);  // only job.xml: my.log was removed again
}

TEST(CommandLine, UnopenableFilesGiveTheirMessagesAndLeaveNoStrayFiles) {
    TempDir dir;
    write_file(dir.file("job.xml"), kInvalidKind);
    std::filesystem::create_directory(dir.file("folder"));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-ss.xml", "-l/nonexistent/dir/x.log", "job.xml"}, "\r\nError opening LOG file.\n"},
        {{"job.xml", "-lmy.log", "-s/nonexistent/dir/s.xml"}, "\r\nError opening session ERROR log file.\n"},
        {{"-lmy.log", "missing.xml"}, "\r\nError opening session Job file. (missing.xml: No such file or directory)\n"},
        {{"-lmy.log", "folder"}, "\r\nError opening session Job file. (folder: Is a directory)\n"},
        {{"-lmy.log", "-ss.xml"}, kNoJob},
    };
    for (const Case& c : cases) {
        RunResult r = run_kro(c.args, dir.path());
        EXPECT_EQ(r.exit_code, 1) << c.args[0];
        EXPECT_TRUE(ends_with(r.out, c.message)) << r.out;
        EXPECT_EQ(entries_in(dir.path()), 2u) << c.args[0];  // job.xml and folder only
    }
}

TEST(CommandLine, DefaultLogAndSessionFilesAreInTheCurrentFolder) {
    TempDir dir;
    write_file(dir.file("job.xml"), kInvalidKind);
    RunResult r = run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\nCheck kro.log for complete error details.\n"), std::string::npos);
    EXPECT_EQ(read_file(dir.file("kro.log")), "Invalid JOB TYPE selected.\r\n");
    EXPECT_EQ(read_file(dir.file("krosession.xml")), "<krosession><errors></errors></krosession>");
    // The log is appended to across runs; the session file is rewritten.
    run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(read_file(dir.file("kro.log")), "Invalid JOB TYPE selected.\r\nInvalid JOB TYPE selected.\r\n");
    EXPECT_EQ(read_file(dir.file("krosession.xml")), "<krosession><errors></errors></krosession>");
}

TEST(CommandLine, OptionsComeInAnyOrderAndTheLastJobFileWins) {
    TempDir dir;
    write_file(dir.file("broken.xml"), "<job><notclosed></job>");
    write_file(dir.file("job.xml"), kInvalidKind);
    RunResult r = run_kro({"broken.xml", "-l" + dir.file("l.log"), "job.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\nCheck " + dir.file("l.log") + " for complete"), std::string::npos);
    EXPECT_EQ(read_file(dir.file("krosession.xml")), "<krosession><errors></errors></krosession>");
    EXPECT_EQ(read_file(dir.file("l.log")), "Invalid JOB TYPE selected.\r\n");
    EXPECT_FALSE(file_exists(dir.file("kro.log")));

    r = run_kro({"-ss.xml", "job.xml", "-lm.log"}, dir.path());
    EXPECT_EQ(read_file(dir.file("s.xml")), "<krosession><errors></errors></krosession>");
    EXPECT_EQ(read_file(dir.file("m.log")), "Invalid JOB TYPE selected.\r\n");
}

TEST(CommandLine, TheJobFileIsNeverWrittenAndAPipedOneIsReadToItsEnd) {
    TempDir dir;
    write_file(dir.file("job.xml"), kInvalidKind);
    std::filesystem::create_hard_link(dir.file("job.xml"), dir.file("same.xml"));
    const std::string refused_session = "\r\nThe session file is the job file.\r\nError opening session ERROR log file.\n";
    const std::string refused_log = "\r\nThe log file is the job file.\r\nError opening LOG file.\n";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"job.xml", "-sjob.xml"}, refused_session},
        {{"-s./same.xml", "job.xml"}, refused_session},
        {{"-l" + dir.file("job.xml"), "job.xml"}, refused_log},
        {{"krosession.xml"}, refused_session},  // the default session file's name
    };
    write_file(dir.file("krosession.xml"), kInvalidKind);
    for (const Case& c : cases) {
        RunResult r = run_kro(c.args, dir.path());
        EXPECT_EQ(r.exit_code, 1) << c.args[0];
        EXPECT_TRUE(ends_with(r.out, c.message)) << r.out;
    }
    EXPECT_EQ(read_file(dir.file("job.xml")), kInvalidKind);
    EXPECT_EQ(read_file(dir.file("krosession.xml")), kInvalidKind);

    // From a pipe the job is read to its end, not taken for an empty document.
    std::filesystem::remove(dir.file("krosession.xml"));
    RunResult piped = run_program("/bin/sh", {"-c", std::string("cat job.xml | ") + KRO_BINARY + " /dev/stdin"}, dir.path());
    EXPECT_NE(piped.out.find("Invalid JOB TYPE selected.\r\n"), std::string::npos) << piped.out;

    // A log file named twice in a start that fails leaves neither behind.
    std::filesystem::remove(dir.file("kro.log"));
    RunResult twice = run_kro({"-la.log", "-lb.log", "-s/nonexistent/s.xml"}, dir.path());
    EXPECT_EQ(twice.exit_code, 1);
    EXPECT_FALSE(file_exists(dir.file("a.log")));
    EXPECT_FALSE(file_exists(dir.file("b.log")));
}

TEST(CommandLine, FifthWordNamesTheCrashDumpFolderNotAnOption) {
    TempDir dir;
    write_file(dir.file("job.xml"), kInvalidKind);
    RunResult r = run_kro({"job.xml", "-ll.log", "-ss.xml", "-lother.log"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Invalid JOB TYPE selected.\r\n\nCheck l.log"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(dir.file("other.log")));
    // An empty fifth word is no folder, and never the job file.
    r = run_kro({"job.xml", "-ll.log", "-ss.xml", ""}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Invalid JOB TYPE selected.\r\n\nCheck l.log"), std::string::npos) << r.out;
}

TEST(JobFile, MalformedXmlLeavesOnlyTheErrorEntry) {
    TempDir dir;
    write_file(dir.file("job.xml"), "<?xml version=\"1.0\"?><job><exportjob></job>");
    RunResult r = run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    std::string session = read_file(dir.file("krosession.xml"));
    EXPECT_EQ(session.rfind("<error>Error in the job file. Error No. ", 0), 0u) << session;
    EXPECT_TRUE(ends_with(session, "\r\n</error>")) << session;
    EXPECT_EQ(session.find("krosession>"), std::string::npos);
    std::string log = read_file(dir.file("kro.log"));
    EXPECT_EQ("<error>" + log + "</error>", session);
    EXPECT_NE(r.out.find(log + "\nCheck kro.log for complete error details.\n"), std::string::npos);
}

TEST(JobFile, InvalidJobKinds) {
    TempDir dir;
    const char* documents[] = {
        "<?xml version=\"1.0\"?><job><nosuchjob/></job>",
        "<?xml version=\"1.0\"?><job></job>",
        "<?xml version=\"1.0\"?><job><!-- comment first --><exportjob/></job>",
        "<?xml version=\"1.0\"?><job>text<exportjob/></job>",
    };
    for (const char* doc : documents) {
        write_file(dir.file("job.xml"), doc);
        RunResult r = run_kro({"job.xml", "-ll.log"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << doc;
        EXPECT_NE(r.out.find("Invalid JOB TYPE selected.\r\n\nCheck l.log"), std::string::npos) << doc;
        EXPECT_EQ(read_file(dir.file("krosession.xml")), "<krosession><errors></errors></krosession>");
    }
}

TEST(JobFile, JobKindIsMatchedWithoutCase) {
    TempDir dir;
    for (const char* kind : {"SyncJob", "NOTIFYJOB", "ExportJob", "OdbcImport"}) {
        write_file(dir.file("job.xml"), std::string("<job><") + kind + "/></job>");
        RunResult r = run_kro({"job.xml"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << kind;
        EXPECT_EQ(r.out.find("Invalid JOB TYPE"), std::string::npos) << kind;
        std::string session = read_file(dir.file("krosession.xml"));
        EXPECT_EQ(session.rfind("<krosession><errors>", 0), 0u) << kind;
        EXPECT_TRUE(ends_with(session, "</errors></krosession>")) << kind;
    }
}

TEST(JobFile, HugeOrBinaryJobFilesEndCleanly) {
    TempDir dir;
    std::string big = "<?xml version=\"1.0\"?><job><nosuchjob>";
    big.append(8 << 20, 'x');
    big += "</nosuchjob></job>";
    write_file(dir.file("big.xml"), big);
    RunResult r = run_kro({"big.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Invalid JOB TYPE selected."), std::string::npos);

    static const char kJunk[] = "<job><exportjob>\0\xff\xfe\x80 bad";
    std::string junk(kJunk, sizeof kJunk - 1);
    junk += "</exportjob></job>";
    write_file(dir.file("junk.xml"), junk);
    r = run_kro({"junk.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_LT(r.exit_code, 128);  // no crash
    std::string session = read_file(dir.file("krosession.xml"));
    EXPECT_EQ(session.rfind("<error>Error in the job file.", 0), 0u) << session;

    write_file(dir.file("latin.xml"), "<job><nosuchjob>\xe9\xff</nosuchjob></job>");
    r = run_kro({"latin.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Invalid JOB TYPE selected."), std::string::npos);
}
