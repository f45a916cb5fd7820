// Reading a syncjob job file (the example of examples/ first), the checks made before
// anything connects, in their order, and the pure helpers the run builds its SQL with.
#include <gtest/gtest.h>

#include <tinyxml2.h>

#include "connection/column_definition.h"
#include "kro_test_support.h"
#include "sync/sync_settings.h"

using namespace kro::common;
using namespace kro::sync;
using kro::connection::parse_column;

namespace {

const std::string kServers =
    "<source><host>h</host><port>3306</port><user>u</user><database>a</database></source>"
    "<target><host>h</host><port>3306</port><user>u</user><database>b</database></target>";

SyncSettings read(const std::string& xml) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    SyncSettings settings;
    read_sync_settings(doc.RootElement()->FirstChildElement(), settings, 1);
    return settings;
}

SyncSettings read_body(const std::string& body) { return read("<job><syncjob>" + kServers + body + "</syncjob></job>"); }

std::string validation(const SyncSettings& settings) {
    StrBuf error;
    return validate_sync_settings(settings, error) ? "valid" : error.str();
}

}  // namespace

TEST(SyncSettings, TheExampleJobReadsAsItsCommentsSay) {
    SyncSettings s = read(read_file(std::string(KRO_SOURCE_DIR) + "/examples/sync.xml"));
    EXPECT_EQ(s.source.host.str(), "db1.example.com");
    EXPECT_EQ(s.target.database.str(), "shop_copy");
    ASSERT_EQ(s.tables.size(), 2u);
    EXPECT_EQ(s.tables[0].name, "customers");
    EXPECT_FALSE(s.tables[0].column_list);
    EXPECT_FALSE(s.tables[0].filter);
    EXPECT_EQ(s.tables[1].column_list.value_or("-"), "`id`,`customer_id`,`total`");
    EXPECT_EQ(s.tables[1].filter.value_or("-"), "created >= '2024-01-01'");
    EXPECT_EQ(s.mode, SyncMode::direct_and_script);
    EXPECT_EQ(s.script_path, "/var/lib/kro/shop-sync.sql");
    EXPECT_TRUE(s.fkcheck);
    EXPECT_FALSE(s.twowaysync);
    EXPECT_TRUE(s.delete_from_target);
    EXPECT_FALSE(s.abortonerror);
    EXPECT_EQ(s.report.send_report, 1);
    EXPECT_EQ(s.report.report_always, 0);
    EXPECT_EQ(validation(s), "valid");
}

TEST(SyncSettings, KeysAreReadByTheirOwnRules) {
    SyncSettings s = read_body(
        "<tables all=\"no\"><t><n>a`b</n><columns all=\"no\"><c>x`y</c><c> z </c></columns><sqlwhere>x > 1</sqlwhere></t>"
        "<t><n>plain</n><sqlwhere>ignored without columns</sqlwhere></t>"
        "<t><n>all</n><columns all=\"YES\"/><sqlwhere>v = 'w'</sqlwhere></t></tables>"
        "<sync_action type=\"SCRIPT\"><file> /tmp/s.sql </file></sync_action><dontdelfromtarget v=\"Yes\"/>"
        "<twowaysync x=\"no\"/><abortonerror value=\"yes\"/>");
    ASSERT_EQ(s.tables.size(), 3u);
    EXPECT_EQ(s.tables[0].name, "a`b");
    EXPECT_EQ(s.tables[0].column_list.value_or("-"), "`x``y`,`z`");  // a backquote in a name is doubled
    EXPECT_EQ(s.tables[0].filter.value_or("-"), "x > 1");
    EXPECT_FALSE(s.tables[1].filter);
    EXPECT_FALSE(s.tables[2].column_list);
    EXPECT_EQ(s.tables[2].filter.value_or("-"), "v = 'w'");
    EXPECT_EQ(s.mode, SyncMode::script_only);
    EXPECT_EQ(s.script_path, "/tmp/s.sql");
    EXPECT_FALSE(s.delete_from_target);
    EXPECT_FALSE(s.twowaysync);
    EXPECT_TRUE(s.abortonerror);
    EXPECT_TRUE(read_body("<tables all=\"yes\"><t><n>skipped</n></t></tables>").all_tables);
    EXPECT_TRUE(read_body("<tables all=\"maybe\"><t><n>skipped</n></t></tables>").tables.empty());
}

TEST(SyncSettings, AWordThatDecidesWhatIsWrittenIsRefusedUnlessItIsOneOfItsOwn) {
    const std::string table = "<tables all=\"no\"><t><n>t</n></t></tables>";
    const std::pair<std::string, std::string> cases[] = {
        {"<sync_action type=\"scriptonly\"><file>x</file></sync_action>",
         "Invalid value type=\"scriptonly\" in <sync_action>: write directsync, script or all\r\n"},
        {"<sync_action><file>x</file></sync_action>",
         "Invalid value type=\"\" in <sync_action>: write directsync, script or all\r\n"},
        {"<dontdelfromtarget value=\"true\"/>",
         "Invalid value value=\"true\" in <dontdelfromtarget>: its first attribute must be yes or no\r\n"},
        {"<fkcheck/>", "<fkcheck> has no value: write <fkcheck value=\"yes\"/> or value=\"no\"\r\n"},
        {"<abortonerror>yes</abortonerror>",
         "<abortonerror> has no value: write <abortonerror value=\"yes\"/> or value=\"no\"\r\n"},
        {"<sendreport when=\"always\" value=\"yes\"/>",
         "Invalid value when=\"always\" in <sendreport>: its first attribute must be yes or no\r\n"},
        {"<sendreport value=\"yes\"><smtp><auth on=\"1\"/></smtp></sendreport>",
         "Invalid value on=\"1\" in <auth>: its first attribute must be yes or no\r\n"},
        {"<tables all=\"no\"><t><n>t</n><columns all=\"none\"><c>a</c></columns></t></tables>",
         "Invalid value all=\"none\" in <columns>: write yes or no\r\n"},
    };
    for (const auto& [body, error] : cases) {
        // Refused before the servers' own settings are looked at.
        SyncSettings s = read_body(table + body);
        s.source.host.clear();
        EXPECT_EQ(validation(s), error) << body;
    }
    // Either case, white space around it: still a yes or a no.
    SyncSettings s = read_body(table + "<dontdelfromtarget value=\" YES \"/><twowaysync value=\"No\"/>"
                                       "<sync_action type=\"All\"><file>x</file></sync_action>");
    EXPECT_EQ(validation(s), "valid");
    EXPECT_FALSE(s.delete_from_target);
    EXPECT_EQ(s.mode, SyncMode::direct_and_script);
}

TEST(SyncSettings, ChecksReportTheFirstGapInTheirOrder) {
    SyncSettings s = read_body("");
    EXPECT_EQ(validation(s), "You have to specify atleast one table.\r\n");
    s.all_tables = true;
    EXPECT_EQ(validation(s), "valid");
    s.target.port = 0;
    EXPECT_EQ(validation(s), "TARGET server information not complete\r\n");
    s.source.user.clear();
    EXPECT_EQ(validation(s), "SOURCE server information not complete\r\n");

    s = read_body("<tables all=\"no\"><t><n>ok</n></t><t><n>cols</n><columns all=\"no\"/></t><t><n> </n></t></tables>");
    EXPECT_EQ(validation(s), "Please specify atleast one column for 'cols' table\r\n");
    s.tables[1].column_list = "`a`";
    EXPECT_EQ(validation(s), "Table name was not specified\r\n");
}

TEST(SyncSettings, ColumnListsSplitIntoQuotedNamesAndKeyTypesIntoClasses) {
    EXPECT_EQ(split_column_list("`a`,`b``c`,`d```,`,e`"),
              (std::vector<std::string>{"`a`", "`b``c`", "`d```", "`,e`"}));
    EXPECT_TRUE(split_column_list("").empty());
    const std::pair<const char*, KeyClass> classes[] = {
        {"int(11) unsigned", KeyClass::integer}, {"year(4)", KeyClass::integer},  {"bigint", KeyClass::integer},
        {"double", KeyClass::floating},          {"float(7,3)", KeyClass::floating}, {"datetime(6)", KeyClass::other},
        {"timestamp(3)", KeyClass::timestamp},   {"time", KeyClass::time},          {"date", KeyClass::other},
        {"decimal(10,2)", KeyClass::other},      {"varchar(20)", KeyClass::other},
    };
    for (const auto& [type, key_class] : classes) EXPECT_EQ(key_class_of(parse_column({"k", type})), key_class) << type;
}
