#include <gtest/gtest.h>

#include <string>

#include <sql.h>
#include <sqlext.h>
#include <tinyxml2.h>

#include "import/access_properties.h"
#include "import/connection_string.h"
#include "import/import_settings.h"
#include "import/odbc_handles.h"
#include "import/schema_builder.h"
#include "import/type_mapping.h"

using namespace kro::import;

namespace {

struct Mapped {
    std::string type, length;
    bool numeric, binary, long_columns;
};

Mapped map(int odbc_type, long size, int digits, bool server_5 = true, SourceDbms dbms = SourceDbms::other) {
    CatalogColumn in;
    in.name = "c";
    in.odbc_type = odbc_type;
    in.size = size;
    in.digits = digits;
    ImportColumn column;
    ImportTable table;
    map_column(in, dbms, server_5, column, table);
    return {column.type, column.length, column.numeric, column.binary, table.has_long_columns};
}

void expect_mapped(int odbc_type, long size, int digits, const std::string& type, const std::string& length,
                   bool numeric, bool binary, bool long_columns, bool server_5 = true) {
    Mapped m = map(odbc_type, size, digits, server_5);
    SCOPED_TRACE("ODBC type " + std::to_string(odbc_type) + " size " + std::to_string(size));
    EXPECT_EQ(m.type, type);
    EXPECT_EQ(m.length, length);
    EXPECT_EQ(m.numeric, numeric);
    EXPECT_EQ(m.binary, binary);
    EXPECT_EQ(m.long_columns, long_columns);
}

ImportSettings read_body(const std::string& children, int* ok, std::string* error = nullptr) {
    tinyxml2::XMLDocument doc;
    const std::string xml = "<odbcimport><dsn type=\"file\"><name>/x/y.dsn</name><user>u</user><pwd> p w </pwd></dsn>" +
                            children + "</odbcimport>";
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
    ImportSettings s;
    std::string text;
    *ok = read_import_body(doc.FirstChildElement(), s, 1, text);
    if (error) *error = text;
    return s;
}

}  // namespace

TEST(ImportTypeMapping, EveryOdbcTypeGetsItsColumnType) {
    expect_mapped(SQL_CHAR, 10, 0, "varchar", "10", false, false, true);
    expect_mapped(SQL_CHAR, 10, 0, "char", "10", false, false, true, false);
    expect_mapped(SQL_WVARCHAR, 300, 0, "text", "300", false, false, true, false);
    expect_mapped(SQL_VARCHAR, 300, 0, "varchar", "300", false, false, true);
    expect_mapped(SQL_NUMERIC, 5, 5, "decimal", "6,5", true, false, false);
    expect_mapped(SQL_DECIMAL, 12, 4, "decimal", "12,4", true, false, false);
    expect_mapped(SQL_INTEGER, 10, 0, "int", "10", true, false, false);
    expect_mapped(SQL_SMALLINT, 5, 0, "smallint", "5", true, false, false);
    expect_mapped(SQL_TINYINT, 3, 0, "tinyint", "3", true, false, false);
    expect_mapped(SQL_BIGINT, 19, 0, "bigint", "19", true, false, false);
    expect_mapped(SQL_DOUBLE, 15, 0, "double", "", true, false, false);
    expect_mapped(SQL_TYPE_DATE, 10, 0, "date", "", false, false, false);
    expect_mapped(SQL_INTERVAL_DAY_TO_SECOND, 20, 0, "integer", "11", true, false, false);
    expect_mapped(SQL_GUID, 36, 0, "char", "50", false, false, false);
    expect_mapped(SQL_BIT, 1, 0, "bit", "1", true, false, false);
    expect_mapped(SQL_LONGVARBINARY, 0, 0, "longblob", "", false, true, true);
    expect_mapped(SQL_VARBINARY, 255, 0, "blob", "", false, true, true);
    expect_mapped(-150, 8000, 0, "blob", "", false, false, true);
    // A 4D source imports every column as text.
    EXPECT_EQ(map(SQL_INTEGER, 10, 0, true, SourceDbms::four_d).type, "text");
}

TEST(ImportTypeMapping, ValuesKeepTheirPrecisionRangeAndLength) {
    // Date-times keep their fractions and every year; TIMESTAMP(26) would be refused and
    // holds only 1970 to 2038.
    expect_mapped(SQL_TYPE_TIMESTAMP, 26, 6, "datetime", "6", false, false, false);
    expect_mapped(SQL_TYPE_TIMESTAMP, 19, 0, "datetime", "", false, false, false);
    expect_mapped(SQL_TYPE_TIMESTAMP, 29, 9, "datetime", "6", false, false, false);
    expect_mapped(SQL_TYPE_TIME, 15, 6, "time", "6", false, false, false);
    // REAL and FLOAT keep all their digits.
    expect_mapped(SQL_REAL, 7, 0, "double", "", true, false, false);
    expect_mapped(SQL_FLOAT, 15, 0, "double", "", true, false, false);
    // Texts longer than any VARCHAR, and long texts, are never cut to 64 KB.
    expect_mapped(SQL_WVARCHAR, 100000, 0, "longtext", "", false, false, true);
    expect_mapped(SQL_WLONGVARCHAR, 8190, 0, "longtext", "", false, false, true);
    expect_mapped(SQL_VARBINARY, 1000000, 0, "longblob", "", false, true, true);
    expect_mapped(SQL_NUMERIC, 1000, 998, "decimal", "65,30", true, false, false);
}

// An Access file's column (MDB Tools names its type) is mapped by its Access type, whatever
// ODBC type the driver gives: Currency is DECIMAL(19,4), not a decimal of the driver's size
// 0; Yes/No is never NULL; a Text's size is in characters.
TEST(ImportTypeMapping, AccessColumnsAreMappedByTheirTypeInTheFile) {
    struct Case {
        const char* access;
        int odbc_type;
        long size;
        const char* type;
        const char* length;
        bool numeric, binary, not_null, is_unsigned;
    };
    const Case cases[] = {
        {"BOOL", SQL_BIT, 0, "tinyint", "1", true, false, true, false},
        {"BYTE", SQL_TINYINT, 1, "tinyint", "3", true, false, false, true},
        {"INT", SQL_SMALLINT, 2, "smallint", "6", true, false, false, false},
        {"LONGINT", SQL_INTEGER, 4, "int", "11", true, false, false, false},
        {"MONEY", SQL_DECIMAL, 0, "decimal", "19,4", true, false, false, false},
        {"FLOAT", SQL_FLOAT, 4, "double", "", true, false, false, false},
        {"DOUBLE", SQL_DOUBLE, 8, "double", "", true, false, false, false},
        {"NUMERIC", -1, 17, "decimal", "65,30", true, false, false, false},
        {"DATETIME", SQL_TYPE_TIMESTAMP, 8, "datetime", "", false, false, false, false},
        {"DATETIME", SQL_TYPE_DATE, 8, "date", "", false, false, false, false},
        {"TEXT", SQL_VARCHAR, 50, "varchar", "50", false, false, false, false},
        {"MEMO", SQL_VARCHAR, 0, "longtext", "", false, false, false, false},
        {"OLE", SQL_LONGVARBINARY, 0, "longblob", "", false, true, false, false},
        {"REPID", -1, 16, "char", "38", false, false, false, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.access);
        CatalogColumn in;
        in.name = "c";
        in.access_type = k.access;
        in.odbc_type = k.odbc_type;
        in.size = k.size;
        ImportTable table;
        std::vector<CatalogColumn> columns{in};
        map_source_columns(columns, SourceDbms::mdb_tools, true, table);
        const ImportColumn& c = table.columns.at(0);
        EXPECT_EQ(c.type, k.type);
        EXPECT_EQ(c.length, k.length);
        EXPECT_EQ(c.numeric, k.numeric);
        EXPECT_EQ(c.binary, k.binary);
        EXPECT_EQ(c.not_null, k.not_null);
        EXPECT_EQ(c.is_unsigned, k.is_unsigned);
    }
    EXPECT_EQ(dbms_kind("MDBTOOLS"), SourceDbms::mdb_tools);
}

namespace {

// An Access property block as a Jet 4 file holds it (see access_properties.cpp).
std::string le(unsigned value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}
std::string wide(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string(1, c) + '\0';
    return out;
}
std::string chunk(unsigned kind, const std::string& body) { return le(static_cast<unsigned>(body.size()) + 6, 4) + le(kind, 2) + body; }
std::string object(const std::string& name, const std::string& entries) {
    return chunk(name.empty() ? 0 : 1, le(static_cast<unsigned>(wide(name).size()) + 6, 4) +
                                          le(static_cast<unsigned>(wide(name).size()), 2) + wide(name) + entries);
}
std::string entry(unsigned name_index, const std::string& value, unsigned type = 1) {
    return le(static_cast<unsigned>(value.size()) + 8, 2) + le(0, 1) + le(type, 1) + le(name_index, 2) +
           le(static_cast<unsigned>(value.size()), 2) + value;
}

}  // namespace

// Nullability comes from the file's own "Required" property of each column (any set bit is
// yes), not from a driver's catalogue; a cut or foreign block gives what it holds, no more.
TEST(ImportAccessProperties, RequiredColumnsAreReadFromTheFilesPropertyBlock) {
    std::string names;
    for (const char* n : {"Description", "Required", "AllowZeroLength"})
        names += le(static_cast<unsigned>(wide(n).size()), 2) + wide(n);
    const std::string block = std::string("MR2\0", 4) + chunk(0x80, names) +
                              object("", entry(1, std::string(1, '\x01')) + entry(0, wide("a table"), 10)) +
                              object("Name", entry(2, std::string(1, '\0')) + entry(1, std::string(1, '\xff'))) +
                              object("Note", entry(1, std::string(1, '\0'))) +
                              object("Code", entry(0, wide("key"), 10) + entry(1, std::string(1, '\x01'))) +
                              object("Memo", entry(2, std::string(1, '\x01')));
    EXPECT_EQ(access_required_columns(block), (std::vector<std::string>{"Name", "Code"}));
    EXPECT_EQ(access_required_columns(block.substr(0, block.size() - 30)), (std::vector<std::string>{"Name"}));
    EXPECT_TRUE(access_required_columns(std::string("XYZ\0", 4) + block.substr(4)).empty());
    EXPECT_TRUE(access_required_columns("").empty());
}

// A long text comes in pieces. A driver that will not split a character ends a piece one
// slot early; the slot after its terminator still holds what the piece before left there
// (a zero, the earlier piece's terminator, when nothing marks it): the piece ends at the
// terminator the driver wrote, and no U+0000 joins the text.
TEST(ImportTextPieces, APieceEndsAtTheTerminatorTheDriverWrote) {
    constexpr std::size_t units = 8;
    std::u16string piece(units + 1, kUnwrittenUnit);
    auto driver_writes = [&](const std::u16string& text) {
        std::fill(piece.begin(), piece.end(), kUnwrittenUnit);
        std::copy(text.begin(), text.end(), piece.begin());
        piece[text.size()] = u'\0';
        return text_piece_units(piece.data(), units);
    };
    EXPECT_EQ(driver_writes(u"abcdefgh"), 8u);  // a full piece
    EXPECT_EQ(driver_writes(u"abcdefg"), 7u);   // stopped short of a surrogate pair
    EXPECT_EQ(driver_writes(u"abc"), 3u);
    EXPECT_EQ(driver_writes(std::u16string(u"ab\0defgh", 8)), 8u);  // a U+0000 the text holds is kept
    // A driver that writes no terminator at all fills the piece.
    std::fill(piece.begin(), piece.end(), u'x');
    EXPECT_EQ(text_piece_units(piece.data(), units), 8u);
}

// Literals are carried as values (escaped where they are written), the current time only
// where the column can hold it, any other expression is left out; the job file's text is
// the string itself on a column that is not numeric.
TEST(ImportTypeMapping, DefaultsAreCarriedAsValuesOrLeftOut) {
    struct Case {
        const char* text;
        bool from_catalog;
        const char* type;
        DefaultKind kind;
        const char* value;
    };
    const Case cases[] = {
        {"'none'::text", true, "longtext", DefaultKind::text, "none"},
        {"'it''s \\ here'", true, "varchar", DefaultKind::text, "it's \\ here"},
        {"((0))", true, "int", DefaultKind::number, "0"},
        {"-1.5::numeric", true, "decimal", DefaultKind::number, "-1.5"},
        {"''", true, "varchar", DefaultKind::none, ""},
        {"NULL", true, "varchar", DefaultKind::none, ""},
        {"CURRENT_TIMESTAMP", true, "datetime", DefaultKind::current_time, "CURRENT_TIMESTAMP"},
        {"(getdate())", true, "datetime", DefaultKind::current_time, "NOW()"},
        {"now()", true, "date", DefaultKind::left_out, "now()"},
        {"nextval('t_id_seq'::regclass)", true, "int", DefaultKind::left_out, "nextval('t_id_seq'::regclass)"},
        {"'a'); DROP TABLE x; --", true, "varchar", DefaultKind::left_out, "'a'); DROP TABLE x; --"},
        {"it's", false, "varchar", DefaultKind::text, "it's"},
        {"'quoted'", false, "varchar", DefaultKind::text, "quoted"},
        {"7", false, "int", DefaultKind::number, "7"},
        {"seven", false, "int", DefaultKind::left_out, "seven"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ImportColumn column;
        column.type = c.type;
        ImportTable table;
        apply_column_type_flags(column, table);
        set_column_default(column, c.text, c.from_catalog);
        EXPECT_EQ(column.default_kind, c.kind);
        if (c.kind != DefaultKind::none) {
            EXPECT_EQ(column.default_value, c.value);
        }
    }
    EXPECT_EQ(dbms_kind("MICROSOFT SQL SERVER"), SourceDbms::sql_server);
    EXPECT_EQ(dbms_kind("ACCESS"), SourceDbms::access);
    EXPECT_EQ(dbms_kind("EXCEL"), SourceDbms::excel);
    EXPECT_EQ(dbms_kind("POSTGRESQL"), SourceDbms::postgresql);
    EXPECT_EQ(dbms_kind("SQLITE"), SourceDbms::other);
}

TEST(ImportConnectionString, EachSourceKindHasItsStringAndDriver) {
    EXPECT_EQ(odbc_connection_string("system", "pg", "u", "p"), "DSN=pg;UID=u;PWD=p");
    EXPECT_EQ(odbc_connection_string("FILE", "/d/x.dsn", "", ""), "FILEDSN=/d/x.dsn;UID=;PWD=");
    EXPECT_EQ(odbc_connection_string("access", "/d/a.mdb", "u", "p"),
              "Driver={Microsoft Access Driver (*.mdb)}; DBQ=/d/a.mdb;UID=u;PWD=p");
    EXPECT_EQ(odbc_connection_string("csv", "/d/t.csv", "", ""),
              "Driver={Microsoft Text Driver (*.txt; *.csv)}; DBQ=/d/t.csv;UID=;PWD=");
    EXPECT_EQ(odbc_connection_string("oracle", "x", "", ""), "");
    // An Access file goes to the driver installed under another of the names it goes by.
    EXPECT_EQ(odbc_connection_string("access", "/d/a.accdb", "", "", "MDBTools"), "Driver={MDBTools}; DBQ=/d/a.accdb;UID=;PWD=");
    EXPECT_EQ(access_driver_alternatives("/d/a.ACCDB"),
              (std::vector<std::string>{"Microsoft Access Driver (*.mdb)", "MDBTools", "MDB Tools"}));
    EXPECT_EQ(access_driver_alternatives("/d/a.mdb"), (std::vector<std::string>{"MDBTools", "MDB Tools"}));

    bool newer = true;
    EXPECT_EQ(file_kind_driver("access", "/d/DB.ACCDB", &newer), "Microsoft Access Driver (*.mdb, *.accdb)");
    EXPECT_TRUE(newer);
    EXPECT_EQ(file_kind_driver("Access", "/d/db.mdb", &newer), "Microsoft Access Driver (*.mdb)");
    EXPECT_FALSE(newer);
    EXPECT_EQ(file_kind_driver("excel", "/d/book.xlsx", &newer), "Microsoft Excel Driver (*.xls, *.xlsx, *.xlsm, *.xlsb)");
    EXPECT_TRUE(newer);
    EXPECT_EQ(file_kind_driver("excel", "/d/book.xls", &newer), "Microsoft Excel Driver (*.xls)");
    EXPECT_FALSE(newer);
    EXPECT_EQ(file_kind_driver("csv", "/d/t.txt", &newer), "Microsoft Text Driver (*.txt; *.csv)");
    EXPECT_FALSE(newer);
}

TEST(ImportConnectionString, AFileDsnBecomesTheKeysOfItsOdbcSection) {
    const std::string file = "[ODBC]\r\nDRIVER = SQLite3\r\nDatabase=/d/a;b.db\r\n; note\r\nUID=fileuser\r\n[Other]\r\nX=1\r\n";
    EXPECT_EQ(file_dsn_connection_string(file, "", "pw"), "DRIVER=SQLite3;Database={/d/a;b.db};UID=fileuser;PWD=pw");
    EXPECT_EQ(file_dsn_connection_string(file, "me", ""), "DRIVER=SQLite3;Database={/d/a;b.db};UID=me;PWD=");
    EXPECT_EQ(file_dsn_connection_string("[Other]\nX=1\n", "me", ""), "");
}

TEST(ImportSettingsFile, TableEntriesColumnsAndActionsAreRead) {
    int ok = 0;
    ImportSettings s = read_body(
        "<tables all=\"no\"><table source=\"src\" tablespace=\"public\" target=\"\" type=\"InnoDB\" index=\"NO\">"
        "<ddl onconflict=\"recreate\"/><dml onconflict=\"noupdate\" import=\"YES\"/>"
        "<triggers><updates><update srccol=\"done\" value=\"1\"/><update srccol=\"at\" value=\"now()\"/></updates></triggers>"
        "<whereclause>id &gt; 5</whereclause>"
        "<columns><column><source>id</source><type>int</type><primary>yes</primary><autoincr>yes</autoincr></column>"
        "<column><source>&lt;ignore&gt;</source><type>varchar</type><length>10,2</length><default>x</default></column>"
        "<column><source>pic</source></column></columns></table>"
        "<table source=\"b\" target=\"x.y\" foreignkey=\"no\"><triggers><delete>yes</delete></triggers>"
        "<query>CREATE TABLE b (id int)</query></table></tables>",
        &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(s.source_kind, "file");
    EXPECT_EQ(s.source_password, " p w ");
    ASSERT_EQ(s.tables.size(), 2u);
    const ImportTable& a = s.tables[0];
    EXPECT_EQ(a.target_name, "src");
    EXPECT_EQ(a.schema, "public");
    EXPECT_EQ(a.engine, "InnoDB");
    EXPECT_FALSE(a.create_indexes);
    EXPECT_TRUE(a.create_foreign_keys);
    EXPECT_EQ(a.table_conflict, "recreate");
    EXPECT_EQ(a.row_conflict, "noupdate");
    EXPECT_EQ(a.where_clause, "id > 5");
    EXPECT_FALSE(a.source_defined_columns);
    EXPECT_TRUE(a.has_long_columns);
    ASSERT_EQ(a.row_action.updates.size(), 2u);
    EXPECT_EQ(a.row_action.updates[1].second, "now()");
    ASSERT_EQ(a.columns.size(), 3u);
    EXPECT_TRUE(a.columns[0].primary && a.columns[0].auto_increment && a.columns[0].numeric);
    EXPECT_EQ(a.columns[1].target_name, "null");
    EXPECT_EQ(a.columns[1].scale, 2);
    EXPECT_EQ(a.columns[2].type, "longblob");
    const ImportTable& b = s.tables[1];
    EXPECT_EQ(b.target_name, "x.y");  // made a valid name when the table is created
    EXPECT_TRUE(b.row_action.delete_row);
    EXPECT_TRUE(b.source_defined_columns);
    EXPECT_EQ(b.create_statement, "CREATE TABLE b (id int)");
    EXPECT_EQ(b.engine, "");
    EXPECT_FALSE(b.create_foreign_keys);
}

TEST(ImportSettingsFile, IncompleteEntriesMakeTheFileInvalid) {
    int ok = 1;
    std::string error;
    read_body("<tables/>", &ok);
    EXPECT_EQ(ok, 0);  // no attribute
    read_body("", &ok);
    EXPECT_EQ(ok, 0);  // a data import needs its tables
    read_body("<import type=\"query\"><query>select 1</query><table>t</table></import>", &ok);
    EXPECT_EQ(ok, 1);
    read_body("<import type=\"query\"><query>select 1</query></import>", &ok);
    EXPECT_EQ(ok, 0);
    read_body("<tables all=\"no\"><table source=\"a\"><ddl/></table></tables>", &ok);
    EXPECT_EQ(ok, 0);
    read_body("<tables all=\"no\"><table source=\"a\"><triggers><updates><update srccol=\"x\"/></updates></triggers></table></tables>", &ok);
    EXPECT_EQ(ok, 0);
    read_body("<tables all=\"no\"><table source=\"a\"><columns><column><type>int</type></column></columns></table></tables>",
              &ok, &error);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(error, "<source> tag error!\n");
    ImportSettings all = read_body("<tables x=\"Yes\"><table/></tables>", &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_TRUE(all.all_tables);
    EXPECT_TRUE(all.tables.empty());
}

// Some drivers write only the low 32 bits of a 64-bit length: their NULL and "no total"
// must read as NULL and as a value of unknown length, never as a length of 4 GiB.
TEST(ImportOdbcIndicator, ThirtyTwoBitNullAndNoTotalReadAsTheirSixtyFourBitForms) {
    EXPECT_EQ(indicator_of(SQLLEN{0xFFFFFFFF}), SQL_NULL_DATA);
    EXPECT_TRUE(is_null_indicator(SQLLEN{0xFFFFFFFF}));
    EXPECT_EQ(indicator_of(SQLLEN{0xFFFFFFFC}), SQL_NO_TOTAL);
    EXPECT_FALSE(is_null_indicator(SQLLEN{0xFFFFFFFC}));
    for (SQLLEN same : {SQLLEN{SQL_NULL_DATA}, SQLLEN{SQL_NO_TOTAL}, SQLLEN{0}, SQLLEN{5}, SQLLEN{0x7FFFFFFF},
                        SQLLEN{0x100000000}})
        EXPECT_EQ(indicator_of(same), same) << same;
    EXPECT_FALSE(is_null_indicator(0));
}
