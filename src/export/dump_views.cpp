// Views: first a stand-in for each (unless every view has a file of its own), then the
// definitions, each after the views it uses, so that views over views replay in any order.
// A stand-in is a view of constants with the view's column names: it takes any number of
// columns (a table stops at the engine's limit) and holds no rows should it stay.
#include <functional>
#include <map>
#include <set>

#include "common/sql_comment.h"
#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "export/dump_writer.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

namespace {

// The back-quoted names a view's definition mentions (string literals skipped).
std::set<std::string> quoted_names(std::string_view text) {
    std::set<std::string> names;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char open = text[i];
        if (open != '`' && open != '\'') continue;
        std::string name;
        for (++i; i < text.size(); ++i) {
            if (open == '\'' && text[i] == '\\') {
                ++i;
            } else if (text[i] == open) {
                if (i + 1 < text.size() && text[i + 1] == open) ++i;  // a doubled quote
                else break;
            }
            if (open == '`' && i < text.size()) name += text[i];
        }
        if (open == '`') names.insert(std::move(name));
    }
    return names;
}

}  // namespace

int DumpWriter::view_list(const std::vector<std::string>& names, bool placeholders) {
    if (names.empty()) return 1;
    return view_loop(names, placeholders);
}

int DumpWriter::view_placeholders(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        source_.clear_error();
        if (!write_view_placeholder(name, true)) {
            broken_views_.insert(current_db_ + "." + name);
            report_object_failure(false);
            if (job_.abortonerror || must_stop()) return 0;
        }
    }
    return 1;
}

int DumpWriter::view_loop(const std::vector<std::string>& names, bool placeholders) {
    events_(current_db_.c_str(), static_cast<long>(names.size()), kObjectCount);
    if (placeholders && output_.form() != OutputForm::per_object && !view_placeholders(names)) return 0;
    // A view whose placeholder failed is broken (its tables are gone, or it cannot be read):
    // it was reported, and its definition would stop the replay.
    std::vector<std::string> sound;
    for (const std::string& name : names)
        if (!broken_views_.count(current_db_ + "." + name)) sound.push_back(name);
    order_views(sound);
    return each_object(
        sound, [this](const std::string& name, bool& file_open_failed) { return write_view(name, file_open_failed); },
        true);
}

// Each view after the views of the list it uses, otherwise in the order given. A view made
// over a stand-in would keep a text that differs from its source's (its names qualified).
void DumpWriter::order_views(std::vector<std::string>& names) {
    if (names.size() < 2 || !server_at_least_5_0_10(source_.tunnel(), source_.handle())) return;
    const std::set<std::string> listed(names.begin(), names.end());
    StrBuf statement;
    statement.format("select `TABLE_NAME`, `VIEW_DEFINITION` from `INFORMATION_SCHEMA`.`VIEWS` where `TABLE_SCHEMA` = '%s'",
                     escape_literal(source_.tunnel(), source_.handle(), current_db_).c_str());
    int ok = 0;
    ResultPtr rows = source_.query(statement.c_str(), ok);
    if (!ok || !rows) {
        source_.clear_error();  // the views keep their order
        return;
    }
    std::map<std::string, std::vector<std::string>> uses;
    while (MYSQL_ROW row = source_.tunnel().fetch_row(rows.get())) {
        if (!row[0] || !row[1] || !listed.count(row[0])) continue;
        for (const std::string& used : quoted_names(row[1]))
            if (used != row[0] && listed.count(used)) uses[row[0]].push_back(used);
    }
    rows.reset();
    std::vector<std::string> ordered;
    std::set<std::string> seen;
    std::function<void(const std::string&)> place = [&](const std::string& name) {
        if (!seen.insert(name).second) return;
        for (const std::string& used : uses[name]) place(used);
        ordered.push_back(name);
    };
    for (const std::string& name : names) place(name);
    names = std::move(ordered);
}

// The stand-in of a view; written over direct connections only.
int DumpWriter::write_view_placeholder(const std::string& name, bool with_comment) {
    if (source_.tunnel().is_http()) return 1;
    const std::string q = quoted(name);
    StrBuf statement;
    statement.format("SHOW FIELDS FROM `%s` ", q.c_str());
    int ok = 0;
    ResultPtr columns = source_.query(statement.c_str(), ok);
    if (!ok || !columns) {
        if (ok) source_.record_error("");
        return 0;
    }
    const int field = column_index(source_.tunnel(), columns.get(), "field");
    if (field < 0) {
        source_.record_error("");
        return 0;
    }
    StrBuf& out = output_.buffer();
    if (with_comment) {
        out.append_format("\n/*Table structure for table `%s` */\n", comment_name(name).c_str());
        out.append_format("\nDROP TABLE IF EXISTS `%s`;\n", q.c_str());
    }
    if (options().dropobjects) {
        out.append_format("\n/*!50001 DROP VIEW IF EXISTS `%s` */;", q.c_str());
        out.append_format("\n/*!50001 DROP TABLE IF EXISTS `%s` */;\n", q.c_str());
    }
    out.append_format("\n/*!50001 CREATE VIEW `%s` AS SELECT", q.c_str());
    bool first = true;
    while (MYSQL_ROW row = source_.tunnel().fetch_row(columns.get())) {
        out.append_format("%s\n 1 AS `%s`", first ? "" : ",", quoted(row[field] ? row[field] : "").c_str());
        first = false;
    }
    out.append(" LIMIT 0 */;\n");
    stand_in_views_.insert(current_db_ + "." + name);
    return 1;
}

int DumpWriter::write_view(const std::string& name, bool& file_open_failed) {
    if (!begin_object_file(name, file_open_failed)) return 0;
    events_(name.c_str(), 0, kViewStarted);
    const std::string q = quoted(name);
    MYSQL_ROW row = nullptr;
    ResultPtr result = source_.show_create(current_db_, name, row);
    if (!row) return 0;
    const std::string create = row[1] ? row[1] : "";
    ProgramSession session;
    Tunnel& tunnel = source_.tunnel();
    for (auto [setting, column] : {std::pair{&session.character_set_client, "character_set_client"},
                                   std::pair{&session.collation_connection, "collation_connection"}}) {
        int at = column_index(tunnel, result.get(), column);
        if (at >= 0 && row[at]) *setting = row[at];
    }
    result.reset();
    StrBuf& out = output_.buffer();
    out.append_format("\n/*View structure for view %s */\n", sql_comment_text(name).c_str());
    out.append_format("\n/*!50001 DROP TABLE IF EXISTS `%s` */;", q.c_str());
    // The stand-in goes before the view takes its place.
    if (options().dropobjects || stand_in_views_.count(current_db_ + "." + name))
        out.append_format("\n/*!50001 DROP VIEW IF EXISTS `%s` */;\n", q.c_str());
    write_in_session(session, "\n/*!50001 " + create + " */;\n");
    end_object_file();
    return 1;
}

}  // namespace kro::export_
