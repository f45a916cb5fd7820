// The shared helper queries against the private MariaDB, with names that need quoting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection/helper_queries.h"
#include "connection/statements.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"

using namespace kro::common;
using namespace kro::connection;

namespace {

// The name holds a backquote and a quote so that every statement must quote it right.
const char* const kDb = "kro`q'db";
const char* const kTable = "t`1'x";
const char* const kView = "v`w";

std::vector<std::string> first_column(ServerConnection& c, const char* sql) {
    std::vector<std::string> values;
    ResultPtr result = query_with_reconnect(*c.tunnel, c.handle, sql, 0);
    EXPECT_TRUE(result) << sql << ": " << c.tunnel->error(c.handle);
    while (MYSQL_ROW row = result ? c.tunnel->fetch_row(result.get()) : nullptr) values.push_back(row[0] ? row[0] : "");
    return values;
}

class HelperQueriesTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        mariadb_exec(
            "drop database if exists `kro``q'db`; create database `kro``q'db`;"
            "create table `kro``q'db`.`t``1'x` (id int primary key, name varchar(10));"
            "insert into `kro``q'db`.`t``1'x` (id, name) values (1,'a'),(2,'b'),(3,'c');"
            "create table `kro``q'db`.t_1 (id int) engine=MyISAM;"
            "create view `kro``q'db`.`v``w` as select id, name from `kro``q'db`.`t``1'x`;"
            "create function `kro``q'db`.f() returns int return 41 + 1;"
            "create procedure `kro``q'db`.p() select 1;"
            "create event `kro``q'db`.e on schedule every 1 day disable do select 1");
    }
    static void TearDownTestSuite() { mariadb_exec("drop database if exists `kro``q'db`"); }

    void SetUp() override { ASSERT_TRUE(connect_direct(c, mariadb_connection_info())); }

    ServerConnection c;
};

}  // namespace

TEST_F(HelperQueriesTest, QuotedNamesReachTheRightDatabaseAndTable) {
    EXPECT_EQ(select_database(kDb, c.handle, *c.tunnel), 1);
    EXPECT_EQ(connection_value(c, "select database()"), kDb);
    EXPECT_EQ(select_database("no`such", c.handle, *c.tunnel), 0);

    EXPECT_EQ(count_rows(*c.tunnel, c.handle, kDb, kTable), 3u);
    EXPECT_EQ(count_rows(*c.tunnel, c.handle, kDb, kTable, "id > 1"), 2u);
    EXPECT_EQ(count_rows(*c.tunnel, c.handle, kDb, "missing"), 0u);

    StrBuf engine;
    EXPECT_EQ(table_engine(*c.tunnel, c.handle, kDb, kTable, engine), 1);
    EXPECT_STREQ(engine.c_str(), "InnoDB");
    EXPECT_EQ(table_engine(*c.tunnel, c.handle, kDb, "t_1", engine), 1);
    EXPECT_STREQ(engine.c_str(), "MyISAM");
    // LIKE wildcards in a name match only themselves.
    EXPECT_EQ(table_engine(*c.tunnel, c.handle, kDb, "t%", engine), 0);
}

TEST_F(HelperQueriesTest, ListStatementsNameTheDatabaseObjects) {
    StrBuf sql;
    list_tables_statement(*c.tunnel, c.handle, kDb, sql);
    EXPECT_STREQ(sql.c_str(), "show full tables from `kro``q'db` where table_type = 'BASE TABLE'");
    EXPECT_EQ(first_column(c, sql.c_str()), (std::vector<std::string>{"t_1", kTable}));
    list_views_statement(*c.tunnel, c.handle, kDb, sql);
    EXPECT_EQ(first_column(c, sql.c_str()), (std::vector<std::string>{kView}));
    list_functions_statement(*c.tunnel, c.handle, kDb, sql);
    EXPECT_EQ(first_column(c, sql.c_str()), (std::vector<std::string>{"f"}));
    list_procedures_statement(*c.tunnel, c.handle, kDb, sql);
    EXPECT_EQ(first_column(c, sql.c_str()), (std::vector<std::string>{"p"}));
    list_events_statement(*c.tunnel, c.handle, kDb, sql);
    EXPECT_STREQ(sql.c_str(),
                 "select `EVENT_NAME` from `INFORMATION_SCHEMA`.`EVENTS` where `EVENT_SCHEMA` = 'kro`q\\'db' "
                 "order by EVENT_NAME");
    EXPECT_EQ(first_column(c, sql.c_str()), (std::vector<std::string>{"e"}));

    list_tables_statement(*c.tunnel, c.handle, "information_schema", sql);
    EXPECT_STREQ(sql.c_str(), "show tables from `information_schema`");
    EXPECT_FALSE(first_column(c, sql.c_str()).empty());
}

TEST_F(HelperQueriesTest, ListTablesStatementFollowsTheServerVersion) {
    ConnectionInfo info = mariadb_connection_info();
    StrBuf sql;
    for (const auto& [version, expected] : std::vector<std::pair<const char*, const char*>>{
             {"5.0.9-log", "show tables from `kro``q'db`"},
             {"5.0.10", "show full tables from `kro``q'db` where table_type = 'BASE TABLE'"}}) {
        ServerConnection old;
        ASSERT_TRUE(connect_direct(old, info, 1, std::make_unique<VersionTunnel>(version)));
        list_tables_statement(*old.tunnel, old.handle, kDb, sql);
        EXPECT_STREQ(sql.c_str(), expected) << version;
    }
}

TEST_F(HelperQueriesTest, ShowCreateRoutineGivesTheDefinitionOrTheReason) {
    StrBuf definition, error, statement;
    ASSERT_EQ(show_create_function(*c.tunnel, c.handle, kDb, "f", definition, error, &statement), 1);
    EXPECT_NE(definition.view().find("return 41 + 1"), std::string_view::npos) << definition.c_str();
    EXPECT_STREQ(statement.c_str(), "show create function `kro``q'db`.`f`");
    ASSERT_EQ(show_create_procedure(*c.tunnel, c.handle, kDb, "p", definition, error), 1);
    EXPECT_NE(definition.view().find("select 1"), std::string_view::npos);

    EXPECT_EQ(show_create_function(*c.tunnel, c.handle, kDb, "nof", definition, error), 0);
    EXPECT_STREQ(error.c_str(), "Function 'nof' doesn't exists!");
    EXPECT_EQ(show_create_procedure(*c.tunnel, c.handle, kDb, "nop", definition, error), 0);
    EXPECT_STREQ(error.c_str(), "Procedure 'nop' doesn't exists!");

    const std::string long_name(70, 'a');
    EXPECT_EQ(show_create_function(*c.tunnel, c.handle, kDb, long_name.c_str(), definition, error), 0);
    EXPECT_EQ(error.str(), "Error No. 1059\nIdentifier name '" + long_name + "' is too long");

    // A user who may run the function but not read it gets the row without its text.
    mariadb_exec("create user if not exists 'kro_limited'@'%' identified by 'limited';"
                 "grant select, execute on `kro``q'db`.* to 'kro_limited'@'%'");
    ConnectionInfo limited_info = mariadb_connection_info();
    limited_info.user.assign("kro_limited", 1);
    limited_info.password.assign("limited", 1);
    ServerConnection limited;
    ASSERT_TRUE(connect_direct(limited, limited_info));
    EXPECT_EQ(show_create_function(*limited.tunnel, limited.handle, kDb, "f", definition, error), 0);
    EXPECT_STREQ(error.c_str(), "Unable to retrieve information. Please check your permission.");
    limited.close();
    mariadb_exec("drop user 'kro_limited'@'%'");
}

TEST(PacketAllowanceTest, FiveSeventhsOfMaxAllowedPacketInKib) {
    const std::string saved = mariadb_value("select @@global.max_allowed_packet");
    mariadb_exec("set global max_allowed_packet = 1048576");
    ServerConnection c;
    bool connected = connect_direct(c, mariadb_connection_info());
    long allowance = connected ? packet_allowance(*c.tunnel, c.handle) : -1;
    mariadb_exec("set global max_allowed_packet = " + saved);
    EXPECT_EQ(allowance, 731);
    ASSERT_TRUE(connect_direct(c, mariadb_connection_info()));
    EXPECT_EQ(packet_allowance(*c.tunnel, c.handle), std::stol(saved) * 5 / 7168);
}
