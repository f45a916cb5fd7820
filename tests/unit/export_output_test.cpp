// Dump file names, the output forms chosen by the settings, and writing through the buffer.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "export/dump_output.h"
#include "kro_test_support.h"

using namespace kro::export_;

TEST(DumpFileNames, NamesFollowTheFormAndTheTimestamp) {
    EXPECT_EQ(single_file_name("/var/backup/dump.sql", nullptr), "/var/backup/dump.sql");
    EXPECT_EQ(single_file_name("/var/backup/dump.sql", "2024-05-06 07-08-09"),
              "/var/backup/2024-05-06 07-08-09_dump.sql");
    EXPECT_EQ(single_file_name("dump.sql", "2024-05-06 07-08-09"), "2024-05-06 07-08-09_dump.sql");
    EXPECT_EQ(database_file_name("/d/", nullptr, "shop"), "/d/db_shop.sql");
    EXPECT_EQ(database_file_name("/d/", "T", "shop"), "/d/T_db_shop.sql");
    EXPECT_EQ(object_file_name("/d/", nullptr, "orders"), "/d/tbl_orders.sql");
    EXPECT_EQ(object_file_name("/d/", "T", "orders"), "/d/T_tbl_orders.sql");
}

TEST(DumpFileNames, SlashInANameCannotLeaveTheDirectory) {
    EXPECT_EQ(object_file_name("/d/", nullptr, "../../etc/x"), "/d/tbl_..@002f..@002fetc@002fx.sql");
}

TEST(DumpOutput, DirectoryChoosesPerDatabaseOrPerObjectAndEndsInSlash) {
    TempDir dir;
    DumpOutput out;
    ASSERT_EQ(out.set_directory((dir.path() + "/").c_str(), 0, 1), 1);
    EXPECT_EQ(out.form(), OutputForm::per_database);
    EXPECT_EQ(out.directory(), dir.path() + "/");
    ASSERT_EQ(out.set_directory(dir.path().c_str(), 0, 0), 1);
    EXPECT_EQ(out.form(), OutputForm::per_object);
    EXPECT_EQ(out.directory(), dir.path() + "/");
}

TEST(DumpOutput, TimestampedSubDirectoryIsCreatedOrTheFormStaysUnset) {
    TempDir dir;
    DumpOutput out;
    ASSERT_EQ(out.set_directory(dir.path().c_str(), 1, 0), 1);
    struct stat st {};
    ASSERT_EQ(stat(out.directory().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(out.directory().rfind(dir.path() + "/", 0), 0u);

    EXPECT_EQ(out.set_directory((dir.path() + "/missing/deeper").c_str(), 1, 0), 0);
    EXPECT_EQ(out.form(), OutputForm::none);
}

TEST(DumpOutput, BufferIsWrittenOnlyPast8191BytesAndReachesTheFileOnFlush) {
    TempDir dir;
    DumpOutput out;
    out.set_file_path(dir.file("a.sql").c_str());
    ASSERT_EQ(out.open_single(), 1);
    out.buffer().append(std::string(8191, 'x'));
    EXPECT_EQ(out.flush_if_full(), 1);
    EXPECT_EQ(out.buffer().length(), 8191u);
    out.buffer().append("y");
    EXPECT_EQ(out.flush_if_full(), 1);
    EXPECT_EQ(out.buffer().length(), 0u);
    out.buffer().append("tail");
    EXPECT_EQ(out.flush(), 1);
    ASSERT_EQ(out.finish(true), 1);
    std::string text = read_file(dir.file("a.sql"));
    EXPECT_EQ(text.substr(0, 8196), std::string(8191, 'x') + "ytail");
    EXPECT_NE(text.find("\n-- Dump completed on "), std::string::npos);
}

TEST(DumpOutput, AppendModeKeepsWhatTheFileHeld) {
    TempDir dir;
    write_file(dir.file("a.sql"), "old\n");
    DumpOutput out;
    out.set_file_path(dir.file("a.sql").c_str());
    out.set_append(1);
    ASSERT_EQ(out.open_single(), 1);
    out.buffer().append("new\n");
    ASSERT_EQ(out.flush(), 1);
    ASSERT_EQ(out.finish(true), 1);
    EXPECT_EQ(read_file(dir.file("a.sql")).rfind("old\nnew\n\n-- Dump completed on ", 0), 0u);

    DumpOutput truncating;
    truncating.set_file_path(dir.file("a.sql").c_str());
    ASSERT_EQ(truncating.open_single(), 1);
    ASSERT_EQ(truncating.finish(true), 1);
    EXPECT_EQ(read_file(dir.file("a.sql")).rfind("\n-- Dump completed on ", 0), 0u);
}

TEST(DumpFileNames, NameWrittenEarlierInTheRunGetsTheFirstFreeNumber) {
    EXPECT_EQ(unused_file_name("/d/tbl_t.sql", {}), "/d/tbl_t.sql");
    EXPECT_EQ(unused_file_name("/d/tbl_t.sql", {"/d/tbl_t.sql", "/d/tbl_t_2.sql"}), "/d/tbl_t_3.sql");
    EXPECT_EQ(unused_file_name("/d.x/tbl_t", {"/d.x/tbl_t"}), "/d.x/tbl_t_2");
}

TEST(DumpOutput, FullDiskIsReportedOnceWithTheSystemText) {
    DumpOutput out;
    out.set_file_path("/dev/full");
    ASSERT_EQ(out.open_single(), 1);
    out.buffer().append("data");
    testing::internal::CaptureStdout();
    EXPECT_EQ(out.flush(), 0);
    out.buffer().append("more");
    EXPECT_EQ(out.flush(), 0);
    EXPECT_EQ(out.finish(true), 0);
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.last_write_error().str(), "Error writing in file.\n28:No space left on device");
    EXPECT_EQ(console.rfind("Error writing in file.\n28:No space left on device", 0), 0u);
    EXPECT_EQ(console.find("Error writing", 1), std::string::npos) << console;
}

TEST(DumpOutput, UnopenableFileFails) {
    DumpOutput out;
    out.set_file_path("/nonexistent-dir/x.sql");
    EXPECT_EQ(out.open_single(), 0);
    out.set_file_path("");
    EXPECT_EQ(out.open_single(), 0);
}

TEST(DumpOutput, ANewDumpRemovesTheIncompleteDumpsOfEarlierRunsOfItsName) {
    TempDir dir;
    const std::set<std::string> kept = {"2020-01-01 00-00-00_crm.sql.incomplete", "2020-01-01 00-00-00_shop.sql",
                                        "shop.sql.incomplete", "x_shop.sql.incomplete"};
    for (const std::string& name : kept) write_file(dir.file(name), "old");
    for (const char* name : {"2020-01-01 00-00-00_shop.sql.incomplete", "2020-01-02 23-59-59_shop.sql.incomplete"})
        write_file(dir.file(name), "old");
    auto names = [&dir] {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            found.insert(entry.path().filename().string());
        return found;
    };

    DumpOutput stamped;
    stamped.set_file_path(dir.file("shop.sql").c_str());
    stamped.set_timestamp(1);
    ASSERT_EQ(stamped.open_single(), 1);
    stamped.finish(false);
    std::set<std::string> found = names();
    for (const std::string& name : kept) EXPECT_EQ(found.erase(name), 1u) << name;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found.begin()->ends_with("_shop.sql.incomplete")) << *found.begin();
    EXPECT_NE(found.begin()->rfind("2020-", 0), 0u) << *found.begin();

    DumpOutput plain;
    plain.set_file_path(dir.file("shop.sql").c_str());
    ASSERT_EQ(plain.open_single(), 1);
    EXPECT_FALSE(file_exists(dir.file("shop.sql.incomplete")));
    ASSERT_EQ(plain.finish(true), 1);
    EXPECT_TRUE(file_exists(dir.file("shop.sql")));
}

// keep=2: a complete new dump leaves the newest two complete dumps of its name; a failed one
// removes nothing; files of other names, other runs' .incomplete files, links and folders
// that look like dumps stay whatever their stamp.
TEST(DumpOutput, KeepLeavesTheNewestCompleteDumpsOfItsNameAndNothingElse) {
    TempDir dir;
    namespace fs = std::filesystem;
    const std::set<std::string> unrelated = {"2020-01-01 00-00-00_crm.sql", "2019-01-01 00-00-00_crm.sql.incomplete",
                                             "shop.sql", "notes.txt", "2019-13-01 00-00-00_shop.sql.bak",
                                             "x2020-01-01 00-00-00_shop.sql"};
    for (const std::string& name : unrelated) write_file(dir.file(name), "other");
    for (const char* name : {"2020-01-01 00-00-00_shop.sql", "2020-01-03 00-00-00_shop.sql", "2020-01-02 00-00-00_shop.sql"})
        write_file(dir.file(name), "old");
    fs::create_directory(dir.file("2019-01-01 00-00-00_shop.sql"));
    fs::create_symlink(dir.file("notes.txt"), dir.file("2019-01-02 00-00-00_shop.sql"));
    auto names = [&dir] {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir.path())) found.insert(entry.path().filename().string());
        return found;
    };
    const std::set<std::string> before = names();

    DumpOutput failed;
    failed.set_file_path(dir.file("shop.sql").c_str());
    failed.set_timestamp(1);
    failed.set_keep(2);
    ASSERT_EQ(failed.open_single(), 1);
    failed.finish(false);
    std::set<std::string> after_failure = names();
    for (const std::string& name : before) EXPECT_EQ(after_failure.count(name), 1u) << name << " went with a failed dump";

    DumpOutput out;
    out.set_file_path(dir.file("shop.sql").c_str());
    out.set_timestamp(1);
    out.set_keep(2);
    ASSERT_EQ(out.open_single(), 1);
    out.buffer().append("data");
    out.count_row();
    ASSERT_EQ(out.finish(true), 1);
    ASSERT_EQ(out.written().size(), 1u);
    const std::string newest = fs::path(out.written()[0].path).filename().string();
    EXPECT_EQ(out.written()[0].rows, 1u);
    EXPECT_EQ(out.written()[0].bytes, fs::file_size(out.written()[0].path));

    std::set<std::string> found = names();
    for (const std::string& name : unrelated) EXPECT_EQ(found.erase(name), 1u) << name;
    for (const char* name : {"2019-01-01 00-00-00_shop.sql", "2019-01-02 00-00-00_shop.sql", "2020-01-03 00-00-00_shop.sql"})
        EXPECT_EQ(found.erase(name), 1u) << name;
    EXPECT_EQ(found.erase(newest), 1u) << newest;
    EXPECT_TRUE(found.empty()) << *found.begin() << " left, or more";
    EXPECT_TRUE(fs::is_directory(dir.file("2019-01-01 00-00-00_shop.sql")));

    // A clock set back gives the new dump a name older than the last run's: it stays all the same.
    write_file(dir.file("2999-01-01 00-00-00_shop.sql"), "from the future");
    DumpOutput again;
    again.set_file_path(dir.file("shop.sql").c_str());
    again.set_timestamp(1);
    again.set_keep(1);
    ASSERT_EQ(again.open_single(), 1);
    ASSERT_EQ(again.finish(true), 1);
    EXPECT_TRUE(fs::exists(again.written()[0].path));
    EXPECT_FALSE(fs::exists(dir.file("2999-01-01 00-00-00_shop.sql")));

    // An appended dump counts only the bytes this run added.
    write_file(dir.file("log.sql"), "earlier runs");
    DumpOutput appended;
    appended.set_file_path(dir.file("log.sql").c_str());
    appended.set_append(1);
    ASSERT_EQ(appended.open_single(), 1);
    ASSERT_EQ(appended.finish(true), 1);
    EXPECT_EQ(appended.written()[0].bytes, fs::file_size(dir.file("log.sql")) - std::string("earlier runs").size());
}
