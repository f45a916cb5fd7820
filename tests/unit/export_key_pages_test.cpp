// Paging along a key: which column types can carry it. A key whose values do not come
// back exactly from their text, or that sorts otherwise than it compares, would skip rows.
#include <gtest/gtest.h>

#include "connection/column_definition.h"
#include "export/key_pages.h"

using namespace kro::export_;
using kro::connection::parse_column;

namespace {

TEST(KeyPages, OnlyTypesWhoseTextGivesBackTheValueAndItsOrderCarryAKey) {
    for (const char* type : {"int(11)", "bigint(20) unsigned", "decimal(12,2)", "year(4)", "smallint"})
        EXPECT_EQ(key_literal_for(parse_column({"c", type})), KeyLiteral::number) << type;
    for (const char* type : {"varchar(20)", "char(3)", "datetime(6)", "date", "timestamp", "time", "text", "uuid"})
        EXPECT_EQ(key_literal_for(parse_column({"c", type})), KeyLiteral::text) << type;
    for (const char* type : {"varbinary(8)", "binary(16)", "blob"}) EXPECT_EQ(key_literal_for(parse_column({"c", type})), KeyLiteral::bytes) << type;
    // FLOAT prints rounded; ENUM and SET sort by their index, BIT as a number.
    for (const char* type : {"float", "double", "enum('b','a')", "set('x')", "bit(8)", "geometry", "interval", ""})
        EXPECT_EQ(key_literal_for(parse_column({"c", type})), KeyLiteral::none) << type;
}

}  // namespace
