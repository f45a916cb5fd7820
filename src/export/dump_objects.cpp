// Views (with the placeholder tables that stand in for them until every table exists),
// stored procedures and functions, events and triggers. Their bodies go between
// "DELIMITER $$" lines inside versioned comments, so older servers skip what they lack.
// A body that holds the framing's own marks ("*/" would close the versioned comment early,
// "$$" would end the statement for the replaying client) is framed so that it replays:
// without the versioned comment, and between delimiters it does not contain.
#include <array>
#include <vector>

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

// How one routine, event or trigger body is framed in the dump.
struct Framing {
    const char* delimiter = "$$";
    bool versioned = true;  // inside "/*!<version> ... */"

    explicit Framing(std::string_view body) {
        versioned = body.find("*/") == std::string_view::npos;
        for (const char* d : {"$$", ";;", "//", "$$$$", "~~~~"}) {
            if (body.find(d) == std::string_view::npos) {
                delimiter = d;
                break;
            }
        }
    }
    // The opening of a versioned part ("/*!50003 "), or nothing when the body forbids it.
    const char* open(const char* version_comment) const { return versioned ? version_comment : ""; }
    const char* close() const { return versioned ? " */" : ""; }
};

void append_delimiter_line(StrBuf& out, const char* delimiter) {
    out.append("\nDELIMITER ");
    out.append(delimiter);
    out.append("\n");
}

struct KindFacts {
    const char* group_name;
    int start_event;
};

KindFacts facts(ObjectKind kind) {
    switch (kind) {
        case kViews: return {"views", kViewStarted};
        case kProcedures: return {"stored procedures", kProcedureStarted};
        case kFunctions: return {"functions", kFunctionStarted};
        case kTriggers: return {"triggers", kTriggerStarted};
        case kEvents: return {"events", kEventStarted};
        default: return {"tables", kTableStarted};
    }
}

// The named column of a row, or "" when the result has no such column.
std::string column_text(Tunnel& tunnel, TunnelResult* result, MYSQL_ROW row, const char* name) {
    int at = column_index(tunnel, result, name);
    return at >= 0 && row[at] ? row[at] : "";
}

std::string escape_for(void* context, std::string_view text) {
    auto* server = static_cast<ServerConnection*>(context);
    return escape_literal(*server->tunnel, server->handle, text).str();
}

}  // namespace

std::string trigger_definer_clause(std::string_view definer,
                                   std::string (*quote_literal)(void* context, std::string_view text),
                                   void* context) {
    std::size_t at = definer.rfind('@');
    if (at == std::string_view::npos || at == 0) return "";
    std::string user = "'" + quote_literal(context, definer.substr(0, at)) + "'";
    // Roles have no host; "'role'@''" would name a user that does not exist.
    if (at + 1 == definer.size()) return "/*!50017 DEFINER = " + user + " */";
    return "/*!50017 DEFINER = " + user + "@'" + quote_literal(context, definer.substr(at + 1)) + "' */";
}

// Whether the server knows the kind at all (INFORMATION_SCHEMA from 5.0.10, events from 5.1.6).
bool DumpWriter::server_knows(ObjectKind kind) {
    if (kind == kEvents) return server_at_least_5_1_6(source_.tunnel(), source_.handle());
    return server_at_least_5_0_10(source_.tunnel(), source_.handle());
}

int DumpWriter::group_names(ObjectKind kind, std::vector<std::string>& names) {
    Tunnel& tunnel = source_.tunnel();
    const char* db = current_db_.c_str();
    StrBuf statement;
    switch (kind) {
        case kViews: list_views_statement(tunnel, source_.handle(), db, statement); break;
        case kProcedures: list_procedures_statement(tunnel, source_.handle(), db, statement); break;
        case kFunctions: list_functions_statement(tunnel, source_.handle(), db, statement); break;
        case kEvents: list_events_statement(tunnel, source_.handle(), db, statement); break;
        default:
            statement.format(
                "select `TRIGGER_NAME` from `INFORMATION_SCHEMA`.`TRIGGERS` where \t\t\t\t\t`TRIGGER_SCHEMA` = '%s'",
                escape_literal(tunnel, source_.handle(), current_db_).c_str());
    }
    if (list_names(statement.c_str(), names)) return 1;
    report_object_failure(false);
    return 0;
}

int DumpWriter::object_group(ObjectKind kind, bool placeholders) {
    if (!server_knows(kind)) return 1;
    std::vector<std::string> names;
    if (!group_names(kind, names)) return 0;
    events_(facts(kind).group_name, 0, kGroupStarted);
    return kind == kViews ? view_loop(names, placeholders) : object_loop(kind, names);
}

int DumpWriter::object_list(ObjectKind kind) {
    if (job_.lists[kind].empty()) return 1;
    if (kind == kEvents && !server_knows(kind)) return 1;
    return object_loop(kind, job_.lists[kind]);
}

int DumpWriter::object_loop(ObjectKind kind, const std::vector<std::string>& names) {
    events_(current_db_.c_str(), static_cast<long>(names.size()), kObjectCount);
    event_scheduler_written_ = false;
    // Triggers and events have no finished line of their own.
    const bool finished_event = kind == kProcedures || kind == kFunctions;
    return each_object(
        names,
        [this, kind](const std::string& name, bool& file_open_failed) { return dump_object(kind, name, file_open_failed); },
        finished_event);
}

// The frame every routine, event and trigger shares: its own file, the start event,
// flush logs before and FLUSH MASTER after its statements.
int DumpWriter::dump_object(ObjectKind kind, const std::string& name, bool& file_open_failed) {
    if (!begin_object_file(name, file_open_failed)) return 0;
    events_(name.c_str(), 0, facts(kind).start_event);
    if (options().flushlogs) {
        int flushed = source_.send("flush logs");
        if (!flushed && kind != kFunctions) return 0;
    }
    int ok = 0;
    switch (kind) {
        case kProcedures:
        case kFunctions: ok = write_routine(kind, name); break;
        case kEvents: ok = write_event(name); break;
        default: ok = write_trigger(name); break;
    }
    if (!ok) return 0;
    if (options().flushmaster) source_.send("FLUSH MASTER");
    end_object_file();
    return 1;
}

// ---------------------------------------------------------------------------------------
// The session a stored program was created in. The body means what it meant under its own
// SQL mode (strictness, ANSI_QUOTES, NO_BACKSLASH_ESCAPES...) and character settings, and
// the object keeps them: they are set around its CREATE statement and restored after it.

int DumpWriter::routine_session(ObjectKind kind, const std::string& name, ProgramSession& session) {
    if (!server_at_least_5_0_10(source_.tunnel(), source_.handle())) return 1;
    Tunnel& tunnel = source_.tunnel();
    StrBuf statement;
    statement.format(
        "select `SQL_MODE`, `CHARACTER_SET_CLIENT`, `COLLATION_CONNECTION` from `INFORMATION_SCHEMA`.`ROUTINES` "
        "where `ROUTINE_SCHEMA` = '%s' and `ROUTINE_NAME` = '%s' and `ROUTINE_TYPE` = '%s'",
        escape_literal(tunnel, source_.handle(), current_db_).c_str(), escape_literal(tunnel, source_.handle(), name).c_str(),
        kind == kProcedures ? "PROCEDURE" : "FUNCTION");
    int ok = 0;
    ResultPtr result = source_.query(statement.c_str(), ok);
    MYSQL_ROW row = ok && result ? tunnel.fetch_row(result.get()) : nullptr;
    if (!row) {
        if (ok) source_.record_error("The SQL mode the routine was created with could not be read.");
        return 0;
    }
    session.sql_mode = row[0] ? row[0] : "";
    session.character_set_client = row[1] ? row[1] : "";
    session.collation_connection = row[2] ? row[2] : "";
    return 1;
}

// The session variables of a program: each with the user variable that keeps the replaying
// session's value meanwhile, and the program's own value (empty: not set).
std::vector<std::array<std::string, 3>> DumpWriter::session_variables(const ProgramSession& session) {
    return {{"character_set_client", "@saved_cs_client", session.character_set_client},
            {"character_set_results", "@saved_cs_results", session.character_set_client},
            {"collation_connection", "@saved_col_connection", session.collation_connection},
            {"time_zone", "@saved_time_zone", session.time_zone},
            {"sql_mode", "@saved_sql_mode", session.sql_mode}};
}

void DumpWriter::write_session_start(const ProgramSession& session) {
    std::string saved, wanted;
    for (const auto& [variable, saved_as, value] : session_variables(session)) {
        if (value.empty()) continue;
        saved += (saved.empty() ? "" : ", ") + saved_as + "=@@" + variable;
        wanted += (wanted.empty() ? "" : ", ") + variable + "='" +
                  escape_literal(source_.tunnel(), source_.handle(), value).str() + "'";
    }
    if (saved.empty()) return;
    output_.buffer().append_format("\n/*!50003 SET %s */;\n/*!50003 SET %s */;\n", saved.c_str(), wanted.c_str());
}

void DumpWriter::write_session_end(const ProgramSession& session) {
    std::string restored;
    for (const auto& [variable, saved_as, value] : session_variables(session))
        if (!value.empty()) restored += (restored.empty() ? "" : ", ") + variable + "=" + saved_as;
    if (!restored.empty()) output_.buffer().append_format("\n/*!50003 SET %s */;\n", restored.c_str());
}

int DumpWriter::write_routine(ObjectKind kind, const std::string& name) {
    StrBuf definition;
    StrBuf why;
    Tunnel& tunnel = source_.tunnel();
    int ok = kind == kProcedures
                 ? show_create_procedure(tunnel, source_.handle(), current_db_.c_str(), name.c_str(), definition, why)
                 : show_create_function(tunnel, source_.handle(), current_db_.c_str(), name.c_str(), definition, why);
    if (!ok) {
        source_.record_error(why.c_str());
        return 0;
    }
    ProgramSession session;
    if (!routine_session(kind, name, session)) return 0;
    const std::string q = quoted(name);
    const std::string in_comment = comment_name(name);
    StrBuf& out = output_.buffer();
    if (kind == kProcedures) {
        out.append_format("\n/* Procedure structure for procedure `%s` */\n", in_comment.c_str());
        if (options().dropobjects) out.append_format("\n/*!50003 DROP PROCEDURE IF EXISTS  `%s` */;\n", q.c_str());
    } else {
        out.append_format("\n/* Function  structure for function  `%s` */\n", in_comment.c_str());
        if (options().dropobjects) out.append_format("\n/*!50003 DROP FUNCTION IF EXISTS `%s` */;", q.c_str());
    }
    write_session_start(session);
    const Framing framing(definition.view());
    append_delimiter_line(out, framing.delimiter);
    out.append("\n");
    out.append(framing.open("/*!50003 "));
    out.append(definition.view());
    out.append(framing.close());
    out.append(framing.delimiter);
    out.append("\nDELIMITER ;\n");
    write_session_end(session);
    return 1;
}

int DumpWriter::write_event(const std::string& name) {
    const std::string q = quoted(name);
    StrBuf statement;
    statement.format("show create event `%s`.`%s`", quoted(current_db_).c_str(), q.c_str());
    int ok = 0;
    ResultPtr result = source_.query(statement.c_str(), ok);
    if (!ok || !result) {
        if (ok) source_.record_error("");
        return 0;
    }
    int column = column_index(source_.tunnel(), result.get(), "Create Event");
    MYSQL_ROW row = source_.tunnel().fetch_row(result.get());
    if (column < 0 || !row || !row[column]) {
        source_.record_error("");
        return 0;
    }
    Tunnel& tunnel = source_.tunnel();
    ProgramSession session;
    session.sql_mode = column_text(tunnel, result.get(), row, "sql_mode");
    session.time_zone = column_text(tunnel, result.get(), row, "time_zone");
    session.character_set_client = column_text(tunnel, result.get(), row, "character_set_client");
    session.collation_connection = column_text(tunnel, result.get(), row, "collation_connection");
    const std::string create = row[column];
    result.reset();

    StrBuf& out = output_.buffer();
    // Replaying a dump must not change the server beyond its databases (nor need the
    // privilege to): the scheduler's state is told, not set.
    if (!event_scheduler_written_) {
        out.append_format("\n/* The event scheduler of the source server was %s; this dump does not change it. */\n",
                          sql_comment_text(event_scheduler_state()).c_str());
        event_scheduler_written_ = true;
    }
    out.append_format("\n/* Event structure for event `%s` */\n", comment_name(name).c_str());
    if (options().dropobjects) out.append_format("\n/*!50106 DROP EVENT IF EXISTS `%s`*/;\n", q.c_str());
    write_session_start(session);
    const Framing framing(create);
    append_delimiter_line(out, framing.delimiter);
    out.append("\n");
    out.append(framing.open("/*!50106 "));
    out.append(create);
    out.append(framing.close());
    out.append(framing.delimiter);
    out.append("\nDELIMITER ;\n");
    write_session_end(session);
    return 1;
}

std::string DumpWriter::event_scheduler_state() {
    int ok = 0;
    ResultPtr result = source_.query("select @@global.event_scheduler", ok);
    MYSQL_ROW row = ok && result ? source_.tunnel().fetch_row(result.get()) : nullptr;
    return row && row[0] ? row[0] : "unknown";
}

int DumpWriter::write_trigger(const std::string& name) {
    Tunnel& tunnel = source_.tunnel();
    StrBuf statement;
    statement.format("show triggers from `%s` where `trigger` = '%s'", quoted(current_db_).c_str(),
                     escape_literal(tunnel, source_.handle(), name).c_str());
    int ok = 0;
    ResultPtr result = source_.query(statement.c_str(), ok);
    MYSQL_ROW row = ok && result ? tunnel.fetch_row(result.get()) : nullptr;
    if (!row || tunnel.num_fields(result.get()) < 8) {
        if (ok) source_.record_error("");
        return 0;
    }
    std::string definer;
    if (server_at_least_5_0_17(tunnel, source_.handle()) && row[7])
        definer = trigger_definer_clause(row[7], escape_for, &source_.server());
    auto text = [](const char* value) { return value ? value : ""; };
    const std::string table = quoted(text(row[2]));
    ProgramSession session;
    session.sql_mode = column_text(tunnel, result.get(), row, "sql_mode");
    session.character_set_client = column_text(tunnel, result.get(), row, "character_set_client");
    session.collation_connection = column_text(tunnel, result.get(), row, "collation_connection");
    StrBuf& out = output_.buffer();
    out.append_format("\n/* Trigger structure for table `%s` */\n", comment_name(text(row[2])).c_str());
    write_session_start(session);
    const Framing framing(text(row[3]));
    append_delimiter_line(out, framing.delimiter);
    if (options().dropobjects) {
        out.append("\n/*!50003 DROP TRIGGER*/");
        out.append_format("/*!50032 IF EXISTS */ /*!50003 `%s` */%s\n", quoted(name).c_str(), framing.delimiter);
    }
    if (framing.versioned) {
        out.append_format("\n/*!50003 CREATE */ %s /*!50003 TRIGGER `%s` %s %s ON `%s` FOR EACH ROW %s */%s\n\n",
                          definer.c_str(), quoted(text(row[0])).c_str(), text(row[4]), text(row[1]),
                          table.c_str(), text(row[3]), framing.delimiter);
    } else {
        out.append_format("\nCREATE %s TRIGGER `%s` %s %s ON `%s` FOR EACH ROW %s%s\n\n", definer.c_str(),
                          quoted(text(row[0])).c_str(), text(row[4]), text(row[1]), table.c_str(), text(row[3]),
                          framing.delimiter);
    }
    out.append("\nDELIMITER ;\n");
    write_session_end(session);
    return 1;
}

// ---------------------------------------------------------------------------------------
// Views: first a placeholder table for each (unless every view has a file of its own), then
// the definitions, so that views over views replay in any order.

int DumpWriter::view_list(const std::vector<std::string>& names, bool placeholders) {
    if (names.empty()) return 1;
    return view_loop(names, placeholders);
}

int DumpWriter::view_loop(const std::vector<std::string>& names, bool placeholders) {
    events_(current_db_.c_str(), static_cast<long>(names.size()), kObjectCount);
    if (placeholders && output_.form() != OutputForm::per_object) {
        for (const std::string& name : names) {
            source_.clear_error();
            if (!write_view_placeholder(name, true)) {
                broken_views_.insert(current_db_ + "." + name);
                report_object_failure(false);
                if (job_.abortonerror || must_stop()) return 0;
            }
        }
    }
    // A view whose placeholder failed is broken (its tables are gone, or it cannot be read):
    // it was reported, and its definition would stop the replay.
    std::vector<std::string> sound;
    for (const std::string& name : names)
        if (!broken_views_.count(current_db_ + "." + name)) sound.push_back(name);
    return each_object(
        sound, [this](const std::string& name, bool& file_open_failed) { return write_view(name, file_open_failed); },
        true);
}

// A table with the view's columns; written over direct connections only.
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
    StrBuf& out = output_.buffer();
    if (with_comment) {
        out.append_format("\n/*Table structure for table `%s` */\n", comment_name(name).c_str());
        out.append_format("\nDROP TABLE IF EXISTS `%s`;\n", q.c_str());
    }
    if (options().dropobjects) {
        out.append_format("\n/*!50001 DROP VIEW IF EXISTS `%s` */;", q.c_str());
        out.append_format("\n/*!50001 DROP TABLE IF EXISTS `%s` */;\n", q.c_str());
    }
    return view_placeholder(source_.tunnel(), columns.get(), name.c_str(), out);
}

int DumpWriter::write_view(const std::string& name, bool& file_open_failed) {
    if (!begin_object_file(name, file_open_failed)) return 0;
    events_(name.c_str(), 0, kViewStarted);
    const std::string q = quoted(name);
    MYSQL_ROW row = nullptr;
    ResultPtr result = source_.show_create(current_db_, name, row);
    if (!row) return 0;
    StrBuf& out = output_.buffer();
    out.append_format("\n/*View structure for view %s */\n", sql_comment_text(name).c_str());
    out.append_format("\n/*!50001 DROP TABLE IF EXISTS `%s` */;", q.c_str());
    if (options().dropobjects) out.append_format("\n/*!50001 DROP VIEW IF EXISTS `%s` */;\n", q.c_str());
    out.append_format("\n/*!50001 %s */;\n", row[1] ? row[1] : "");
    end_object_file();
    return 1;
}

}  // namespace kro::export_
