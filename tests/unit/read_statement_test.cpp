// Which statements may ride on a kept HTTP connection: only those that surely change nothing.
#include <gtest/gtest.h>

#include "connection/read_statement.h"

using kro::connection::only_reads;

TEST(ReadStatementTest, KrosOwnReadsCountAsReads) {
    EXPECT_TRUE(only_reads("select version()"));
    EXPECT_TRUE(only_reads("/*!40103 SET TIME_ZONE='+00:00' */;select `id`,`a;b` from `db`.`t` order by `id` limit 1000"));
    EXPECT_TRUE(only_reads("show create table `d`.`t`"));
    EXPECT_TRUE(only_reads("SELECT COUNT(*), BIT_XOR(CONV(SUBSTRING(MD5(CONCAT_WS('#', `a`, 'x(y)')), 1, 16), 16, 10)) "
                           "FROM t WHERE (`a` > 5 AND `b` IN (1, 2))"));
    EXPECT_TRUE(only_reads("set names utf8mb4; select * from t where name = 'it''s; delete from t'"));
    EXPECT_TRUE(only_reads("select `t`.`a`, `t`.b from `db`.`t` where `a` in (1, 2) and b = 'f' /* f(1) */"));
}

TEST(ReadStatementTest, AnythingThatMayChangeDataIsNot) {
    for (const char* text : {
             "insert into t values (1)", "select 1; delete from t", "select f(1)", "select db.f(1)",
             "select * from t into outfile '/tmp/x'", "select next value for s", "select nextval(s)",
             "set global max_connections = 10", "set @@global.sql_mode = ''", "set @x = f()",
             "set statement max_statement_time=1 for delete from t", "/*!50000 delete from t */",
             "call p()", "", "   ", "select 'unterminated", "with x as (select 1) select * from x",
             "select get_lock('a', 1)", "do sleep(1)",
             // Quoted or qualified names before "(" call stored functions, whatever their spelling.
             "select `f`('quoted')", "select `count`(*) from t", "select \"f\"(1)", "select `db`.`f`(1)",
             "select `db`.count(1)", "select db.`f`(1)", "select a from t where b in (select `f`(1))",
             "set @x = `f`()",
             // MariaDB runs its executable comments.
             "select 1 /*M!, f('x') */", "select 1 /*M!100100 , f('x') */"}) {
        EXPECT_FALSE(only_reads(text)) << text;
    }
}
