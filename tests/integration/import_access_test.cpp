#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "import_sources.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"

namespace {

using Rows = std::vector<std::string>;

const std::string kAccessFile = std::string(KRO_TESTS_DIR) + "/integration/access/fruit.mdb";

// A table of the Access file as mdb-export prints it: fields joined by \x1f, NULL (an empty
// field: the file holds no empty text) as "~", rows sorted (the target keeps no order of
// its own for a table without a key).
Rows exported_rows(const std::string& table) {
    TempDir dir;
    RunResult r = run_program("/usr/bin/mdb-export", {"-H", "-Q", "-d", "\x1f", "-R", "\x1e", kAccessFile, table},
                              dir.path());
    EXPECT_EQ(r.exit_code, 0) << "mdb-export " << table << ": " << r.out;
    Rows rows;
    std::size_t start = 0;
    while (start < r.out.size()) {
        std::size_t end = r.out.find('\x1e', start);
        if (end == std::string::npos) end = r.out.size();
        std::string row, field;
        for (std::size_t i = start; i <= end; ++i) {
            if (i < end && r.out[i] != '\x1f') {
                field += r.out[i];
                continue;
            }
            row += (row.empty() ? "" : "\x1f") + (field.empty() ? std::string("~") : field);
            field.clear();
        }
        rows.push_back(row);
        start = end + 1;
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

Rows imported_rows(const std::string& table) {
    Rows rows = maria_rows("select * from imp_access.`" + table + "`");
    std::sort(rows.begin(), rows.end());
    return rows;
}

}  // namespace

// Through the driver manager, the MDB Tools driver leaves a quote character unterminated
// (the manager then copies what follows it), writes 32-bit indicators into 64-bit ones and
// crashes when a statistics result it gave as success is fetched: the listed tables arrive
// with the rows mdb-export shows. (It also calls every integer column NOT NULL, so the
// table of numbers gets its columns from the job file.)
TEST(ImportAccessTest, TheListedTablesOfAnAccessFileArriveThroughTheMdbToolsDriver) {
    TempDir dir;
    mariadb_exec("DROP DATABASE IF EXISTS imp_access");
    std::string fruit_columns = "<column><source>Fruit</source><type>varchar</type><length>50</length></column>";
    for (const char* c : {"Fiber", "Fat", "Protien", "Sugar", "Vit A", "Vit C", "Vit B1", "Vit B2", "Vit B6", "Vit E"})
        fruit_columns += std::string("<column><source>") + c + "</source><type>int</type></column>";
    write_file(dir.file("job.xml"),
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><odbcimport>" + target_element("imp_access") +
                   "<dsn type=\"access\"><name>" + kAccessFile + "</name></dsn><tables all=\"no\">"
                   "<table source=\"Fruit\" type=\"InnoDB\"><columns>" + fruit_columns + "</columns></table>"
                   "<table source=\"Fruit Salad\" type=\"InnoDB\"/><table source=\"Veggie Salad\"/>"
                   "<table source=\"Muffin/Bread\"/><table source=\"Dried\"/></tables></odbcimport></job>");
    RunResult r = run_kro({"job.xml"}, dir.path(), odbc_env());
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("DBMS Information: MDBTOOLS\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Importing table data: Fruit... \r\n37 rows transferred!\r\nSuccessful..."),
              std::string::npos) << r.out;
    for (const char* table : {"Fruit", "Fruit Salad", "Veggie Salad", "Dried"}) {
        SCOPED_TRACE(table);
        EXPECT_EQ(imported_rows(table), exported_rows(table));
    }
    // A slash in a table name becomes an underscore on the target.
    EXPECT_EQ(imported_rows("Muffin_Bread"), exported_rows("Muffin/Bread"));
    EXPECT_EQ(maria_rows("select `Fruit`, `Vit C`, `Vit E` from imp_access.Fruit where `Fruit` in ('Apple', 'Fig')"),
              (Rows{"Apple\x1f" "15\x1f" "0", "Fig\x1f" "3\x1f~"}));
}
