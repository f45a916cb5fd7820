// Compressed dumps: each output form writes the same text as an uncompressed dump, through
// zstd or gzip, under the name with ".zst" or ".gz", privately; what the standard tools
// unpack replays to the source's tables. A compressed dump cut by a full disk is kept as
// ".incomplete" and the complete one of its name stays; an append cut by it leaves the file
// as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "export_fixture.h"
#include "mariadb_fixture.h"

namespace {

const char kDb[] = "kro_exp_zip";
const char kCopy[] = "kro_exp_zip_copy";
const char* const kTables[] = {"kinds", "rows_"};

void create_source() {
    recreate_database(kDb);
    mariadb_exec(std::string("set sql_mode=''; use ") + kDb + ";"
                 "create table kinds (id int primary key, b blob, bits bit(64), d decimal(30,10), f double,"
                 " dt datetime(6), tm time, t text, e enum('a','b'), j json) character set utf8mb4;"
                 "insert into kinds values"
                 " (1, unhex('00FF5C270D0A1A'), b'1011', -12345678901234567890.0123456789, 1.7976931348623157e308,"
                 "  '1000-01-01 00:00:00.000001', '-838:59:59', 'it''s \\\\ \xF0\x9F\x98\x80 */ --', 'b', '{\"k\": [1]}'),"
                 " (2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL), (3, '', 0, 0, -0.5, '0000-00-00', 0, '', '', '[]');"
                 // More text than one write of the file's buffer, so the compressor is fed many times.
                 "create table rows_ (id int primary key, v varchar(200), n bigint);"
                 "insert into rows_ select seq, concat(repeat(char(65 + seq % 26), seq % 150), seq), seq * seq"
                 " from seq_1_to_30000");
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// What the standard tool unpacks from a compressed dump (its messages go to the test's log).
std::string unpacked(const std::string& path) {
    const std::string tool = path.ends_with(".gz") ? "gunzip -c " : "zstd -q -dc ";
    return run_program("/bin/sh", {"-c", tool + shell_quote(path)}, "/tmp").out;
}

std::string without_completion_line(std::string text) {
    const std::size_t at = text.rfind("\n-- Dump completed on ");
    return at == std::string::npos ? text : text.substr(0, at);
}

mode_t permissions(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

std::string database_job(const std::string& script, const std::string& options) {
    return export_job_xml(std::string("<databases><database name=\"") + kDb +
                              "\"><objects all=\"yes\"/></database></databases>" + script,
                          options.c_str());
}

// Replays the text into a fresh copy and compares every table with the source.
void expect_replays_to_source(const TempDir& dir, const std::string& text) {
    write_file(dir.file("unpacked.sql"), text);
    recreate_database(kCopy);
    std::string output;
    ASSERT_EQ(replay_dump(dir.file("unpacked.sql"), kCopy, &output), 0) << output;
    for (const char* table : kTables) {
        EXPECT_EQ(table_checksum(kCopy, table), table_checksum(kDb, table)) << table;
        EXPECT_EQ(table_rows(kCopy, table), table_rows(kDb, table)) << table;
    }
}

TEST(ExportCompression, EveryOutputFormWritesTheUncompressedTextCompressed) {
    create_source();
    TempDir dir;
    const std::string options = "<bulkinsert>yes</bulkinsert><bulksize>64</bulksize>";
    ASSERT_EQ(run_export_job(dir, database_job("<script>" + dir.file("plain.sql") + "</script>", options)).exit_code, 0);
    const std::string plain = read_file(dir.file("plain.sql"));
    ASSERT_GT(plain.size(), 2u << 20);

    // One file, zstd: the name gets ".zst"; unpacked, it is the plain dump, completion line and all.
    mode_t old_umask = umask(0);
    RunResult run = run_export_job(dir, database_job("<script>" + dir.file("d.sql") + "</script>",
                                                     options + "<compression>zstd</compression>"));
    umask(old_umask);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_FALSE(file_exists(dir.file("d.sql")));
    EXPECT_EQ(permissions(dir.file("d.sql.zst")), 0600u);
    const std::string zstd_text = unpacked(dir.file("d.sql.zst"));
    EXPECT_NE(zstd_text.find("\n-- Dump completed on "), std::string::npos);
    EXPECT_EQ(without_completion_line(zstd_text), without_completion_line(plain));
    EXPECT_LT(read_file(dir.file("d.sql.zst")).size() * 4, plain.size());
    expect_replays_to_source(dir, zstd_text);

    // One file, gzip at a level, appended to twice: a name that ends in ".gz" keeps it, and
    // the second run's member follows the first one's.
    const std::string gz_job = database_job("<script>" + dir.file("a.sql.gz") + "</script>",
                                            options + "<compression>GZIP:9</compression><appendtofile>yes</appendtofile>");
    ASSERT_EQ(run_export_job(dir, gz_job).exit_code, 0);
    ASSERT_EQ(run_export_job(dir, gz_job).exit_code, 0);
    const std::string twice = unpacked(dir.file("a.sql.gz"));
    const std::size_t second = twice.find("\n-- Dump completed on ") + 1;
    ASSERT_NE(second, 0u);
    EXPECT_EQ(without_completion_line(twice.substr(twice.find('\n', second) + 1)), without_completion_line(plain));

    // A file per object, zstd at a level: every file compressed, and together they replay.
    const std::string objects = dir.file("objects");
    std::filesystem::create_directory(objects);
    run = run_export_job(dir, database_job("<script fileordir=\"dir\">" + objects + "</script>",
                                           options + "<compression>zstd:19</compression>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(files_in(objects), (std::vector<std::string>{"tbl_kinds.sql.zst", "tbl_rows_.sql.zst"}));
    std::string all_objects;
    for (const std::string& name : files_in(objects)) all_objects += unpacked(objects + "/" + name);
    expect_replays_to_source(dir, all_objects);

    // A file per database, gzip: ours among them, complete.
    const std::string databases = dir.file("databases");
    std::filesystem::create_directory(databases);
    run = run_export_job(dir, export_job_xml("<databases all=\"yes\"/><script fileordir=\"dir\">" + databases + "</script>",
                                             "<compression>gzip</compression>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    for (const std::string& name : files_in(databases)) EXPECT_TRUE(name.ends_with(".sql.gz")) << name;
    const std::string ours = unpacked(databases + "/db_" + kDb + ".sql.gz");
    EXPECT_NE(ours.find("CREATE TABLE `rows_`"), std::string::npos);
    EXPECT_NE(ours.find("\n-- Dump completed on "), std::string::npos);
    mariadb_exec(std::string("drop database ") + kCopy);
}

// The compressed text is cut where the disk filled up; the part written is kept as
// ".incomplete" and unpacks to a dump without the completion line. A file appended to is
// put back as it was.
TEST(ExportCompression, CompressedDumpCutByAFullDiskIsIncompleteAndThePreviousOneStays) {
    const std::string db = "kro_exp_zip_full";
    recreate_database(db);
    // Hash text compresses to about half: far more than the limit below, even compressed.
    mariadb_exec("use " + db + "; create table h (id int primary key, v varchar(128));"
                 "insert into h select seq, sha2(seq, 512) from seq_1_to_20000");
    TempDir dir;
    const std::string dump = dir.file("d.sql.zst");
    const std::string xml = export_job_xml("<databases><database name=\"" + db + "\"><objects all=\"yes\"/></database>"
                                           "</databases><script>" + dir.file("d.sql") + "</script>",
                                           "<bulkinsert>yes</bulkinsert><compression>zstd</compression>");
    ASSERT_EQ(run_export_job(dir, xml).exit_code, 0);
    const std::string complete = read_file(dump);
    ASSERT_GT(complete.size(), 600000u);

    StartedProgram cut_run(KRO_BINARY, {"job.xml"}, dir.path(), kro_environment(), 0, 300000);
    RunResult run = cut_run.wait();
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_NE(run.out.find("Error writing in file.\n27:File too large"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Export successful"), std::string::npos) << run.out;
    EXPECT_EQ(read_file(dump), complete);
    EXPECT_EQ(files_in(dir.path()),
              (std::vector<std::string>{"d.sql.zst", "d.sql.zst.incomplete", "job.xml", "kro.log", "krosession.xml"}));
    const std::string cut = unpacked(dump + ".incomplete");
    EXPECT_NE(cut.find("CREATE TABLE `h`"), std::string::npos);
    EXPECT_EQ(cut.find("-- Dump completed"), std::string::npos);

    // Appended to: the cut run takes back what it added, so the next run's member or frame
    // follows whole ones and every dump in the file still unpacks.
    for (const std::string kind : {"gzip", "zstd"}) {
        SCOPED_TRACE(kind);
        const std::string appended = dir.file(kind == "gzip" ? "a.sql.gz" : "a.sql.zst");
        const std::string job = export_job_xml("<databases><database name=\"" + db + "\"><objects all=\"yes\"/>"
                                               "</database></databases><script>" + appended + "</script>",
                                               ("<bulkinsert>yes</bulkinsert><appendtofile>yes</appendtofile><compression>" +
                                                kind + "</compression>").c_str());
        ASSERT_EQ(run_export_job(dir, job).exit_code, 0);
        const std::string before = read_file(appended);
        StartedProgram cut_append(KRO_BINARY, {"job.xml"}, dir.path(), kro_environment(), 0,
                                  static_cast<long>(before.size()) + 300000);
        EXPECT_EQ(cut_append.wait().exit_code, 1);
        EXPECT_EQ(read_file(appended), before);
        ASSERT_EQ(run_export_job(dir, job).exit_code, 0);
        const std::string test = (kind == "gzip" ? "gzip -t " : "zstd -q -t ") + shell_quote(appended) + " 2>&1";
        RunResult checked = run_program("/bin/sh", {"-c", test}, "/tmp");
        EXPECT_EQ(checked.exit_code, 0) << checked.out;
        const std::string both = unpacked(appended);
        const std::size_t first_end = both.find("\n-- Dump completed on ");
        ASSERT_NE(first_end, std::string::npos);
        EXPECT_NE(both.find("\n-- Dump completed on ", first_end + 1), std::string::npos);
    }
    mariadb_exec("drop database " + db);
}

}  // namespace
