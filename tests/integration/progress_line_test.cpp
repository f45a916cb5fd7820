// The live progress line of an export table's rows, a sync table's chunks and an import
// table's rows: drawn on a terminal, never written to redirected output, and always
// erased so that the terminal ends up showing exactly the texts a redirected run writes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "export_fixture.h"
#include "import_sources.h"
#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

// What a terminal `width` columns wide shows after receiving `bytes`: "\r" goes back to
// the line's start, "\n" to the start of the next line, ESC [ K erases to the line's end.
// wrapped is set when a "\r" goes back over a line that reached the last column: the
// terminal would have wrapped it, and "\r" no longer reaches its start. Unknown escapes
// are kept visible, so they fail the comparison.
struct Screen {
    std::vector<std::string> lines{""};
    bool wrapped = false;
};

Screen render(const std::string& bytes, std::size_t width) {
    Screen screen;
    std::size_t column = 0;
    bool full = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        std::string& line = screen.lines.back();
        if (c == '\r') {
            if (full && bytes.compare(i, 2, "\r\n") != 0) screen.wrapped = true;
            column = 0;
        } else if (c == '\n') {
            screen.lines.emplace_back();
            column = 0;
            full = false;
        } else if (c == '\x1b' && bytes.compare(i, 3, "\x1b[K") == 0) {
            line.resize(std::min(line.size(), column));
            i += 2;
        } else {
            if (column < line.size())
                line[column] = c;
            else
                line.append(column - line.size(), ' ').push_back(c);
            if (++column >= width) full = true;
        }
    }
    return screen;
}

// The screen's text with the two lines that tell times made alike.
std::string timeless(const Screen& screen) {
    std::string text;
    static const std::regex started("started at .*$"), total("^Total time taken - [0-9]+");
    for (const std::string& line : screen.lines)
        text += std::regex_replace(std::regex_replace(line, started, "started at <time>"), total,
                                   "Total time taken - N") + "\n";
    return text;
}

// Runs dir's job.xml redirected and on a terminal `columns` wide: both succeed, only the
// terminal receives a line that matches `drawn`, and it ends up showing the redirected text.
void expect_drawn_on_terminal_only(const TempDir& dir, const std::vector<std::string>& env, std::size_t columns,
                                   const std::regex& drawn) {
    RunResult redirected = run_kro({"job.xml"}, dir.path(), env);
    ASSERT_EQ(redirected.exit_code, 0) << redirected.out;
    RunResult terminal = run_program(KRO_BINARY, {"job.xml"}, dir.path(), env, static_cast<int>(columns));
    ASSERT_EQ(terminal.exit_code, 0) << terminal.out;
    EXPECT_EQ(redirected.out.find('\x1b'), std::string::npos) << redirected.out;
    EXPECT_FALSE(std::regex_search(redirected.out, drawn)) << redirected.out;
    EXPECT_TRUE(std::regex_search(terminal.out, drawn)) << terminal.out;
    EXPECT_EQ(timeless(render(terminal.out, columns)), timeless(render(redirected.out, columns))) << terminal.out;
}

TEST(ProgressLine, IsDrawnOnATerminalOnlyAndErasedBackToTheRedirectedText) {
    // MyISAM knows its exact row count, so the line's total is certain.
    mariadb_exec(
        "drop database if exists kro_progress; create database kro_progress; use kro_progress;"
        "create table big (id int primary key, v varchar(40)) engine=MyISAM;"
        "insert into big select seq, concat('value ', seq) from seq_1_to_20000;"
        "create table small (id int primary key); insert into small values (1), (2)");
    TempDir dir;
    const std::string job = export_job_xml(
        "<databases><database name=\"kro_progress\"><objects all=\"yes\"/></database></databases>"
        "<script>" + dir.file("d.sql") + "</script>",
        "<bulkinsert>yes</bulkinsert>");
    write_file(dir.file("job.xml"), job);
    chmod(dir.file("job.xml").c_str(), 0600);  // no warning about the password in it

    RunResult redirected = run_kro({"job.xml"}, dir.path());
    ASSERT_EQ(redirected.exit_code, 0) << redirected.out;
    constexpr std::size_t kColumns = 60;
    RunResult terminal = run_kro_on_terminal({"job.xml"}, dir.path(), kColumns);
    ASSERT_EQ(terminal.exit_code, 0) << terminal.out;

    // Redirected: the specified texts and nothing else.
    EXPECT_EQ(redirected.out.find('\x1b'), std::string::npos) << redirected.out;
    EXPECT_EQ(redirected.out.find(" rows"), std::string::npos) << redirected.out;
    EXPECT_NE(redirected.out.find("Exporting table big...Export successful...\n"), std::string::npos);

    // On the terminal the line counts the rows of the total, and never wraps.
    static const std::regex drawn("\rExporting table big\\.\\.\\. [0-9,]+ of 20,000 rows \\([0-9]+%\\)");
    EXPECT_TRUE(std::regex_search(terminal.out, drawn)) << terminal.out;
    const Screen shown = render(terminal.out, kColumns);
    EXPECT_FALSE(shown.wrapped) << terminal.out;
    EXPECT_EQ(timeless(shown), timeless(render(redirected.out, kColumns))) << terminal.out;

    // An error in the middle of the rows (a full disk) erases the line before its text.
    write_file(dir.file("full.xml"), export_job_xml(
        "<databases><database name=\"kro_progress\"><objects all=\"yes\"/></database></databases>"
        "<script>/dev/full</script>", "<bulkinsert>yes</bulkinsert>"));
    chmod(dir.file("full.xml").c_str(), 0600);
    RunResult failed_redirected = run_kro({"full.xml"}, dir.path());
    RunResult failed_terminal = run_kro_on_terminal({"full.xml"}, dir.path(), kColumns);
    EXPECT_EQ(failed_terminal.exit_code, 1) << failed_terminal.out;
    EXPECT_EQ(failed_redirected.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(timeless(render(failed_terminal.out, kColumns)), timeless(render(failed_redirected.out, kColumns)))
        << failed_terminal.out;
}

TEST(ProgressLine, CountsASyncTablesChunksOnATerminalOnly) {
    for (const char* db : {"kro_progress_src", "kro_progress_tgt"}) {
        recreate_database(db);
        mariadb_exec(std::string("use ") + db + "; create table t (id int primary key, v varchar(40));"
                     "insert into t select seq, md5(seq) from seq_1_to_50000" +
                     (std::string(db) == "kro_progress_tgt" ? " where seq % 100 <> 0" : ""));
    }
    TempDir dir;
    // Only a script is written, so both runs find the same differences.
    const std::string job = sync_job_xml(sync_server_xml("source", "MARIADB", "kro_progress_src"),
                                         sync_server_xml("target", "MARIADB", "kro_progress_tgt"),
                                         "<tables all=\"yes\"/><sync_action type=\"script\"><file>" +
                                             dir.file("s.sql") + "</file></sync_action>");
    write_file(dir.file("job.xml"), job);
    chmod(dir.file("job.xml").c_str(), 0600);
    expect_drawn_on_terminal_only(dir, {}, 120,
                                  std::regex("\r`t` +50000 +49500 +[0-9,]+ of [0-9,]+ chunks \\([0-9]+%\\)"));
}

TEST(ProgressLine, CountsAnImportTablesRowsOnATerminalOnly) {
    sqlite_run("drop table if exists progress_rows; create table progress_rows (id integer primary key, v text);"
               "with recursive s(n) as (select 1 union all select n + 1 from s where n < 200000) "
               "insert into progress_rows select n, 'value ' || n from s;");
    TempDir dir;
    write_file(dir.file("job.xml"),
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><odbcimport>" + target_element("kro_progress_imp") +
                   "<dsn type=\"system\"><name>" + service_value("ODBC_SQLITE_DSN") + "</name></dsn>"
                   "<tables all=\"no\"><table source=\"progress_rows\"><ddl onconflict=\"recreate\"/>"
                   "<dml onconflict=\"update\" import=\"yes\"/></table></tables></odbcimport></job>");
    chmod(dir.file("job.xml").c_str(), 0600);
    expect_drawn_on_terminal_only(dir, odbc_env(), 100,
                                  std::regex("\rImporting table data: progress_rows\\.\\.\\. +[0-9,]+ rows"));
}

}  // namespace
