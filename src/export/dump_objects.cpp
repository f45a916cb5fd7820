// Stored procedures and functions, packages, events and triggers. Their bodies go between
// "DELIMITER $$" lines inside versioned comments, so older servers skip what they lack.
// A body that holds the framing's own marks ("*/" would close the versioned comment early,
// "$$" would end the statement for the replaying client) is framed so that it replays:
// without the versioned comment, and between delimiters it does not contain.
#include <algorithm>
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

std::string delimiter_line(const char* delimiter) { return std::string("\nDELIMITER ") + delimiter + "\n"; }

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
        case kPackages: return {"packages", kPackageStarted};
        default: return {"tables", kTableStarted};
    }
}

// The named column of a row; none when the result has no such column or the value is NULL.
std::optional<std::string> column_value(Tunnel& tunnel, TunnelResult* result, MYSQL_ROW row, const char* name) {
    int at = column_index(tunnel, result, name);
    if (at < 0 || !row[at]) return std::nullopt;
    return std::string(row[at]);
}

ProgramSession session_from(Tunnel& tunnel, TunnelResult* result, MYSQL_ROW row) {
    ProgramSession session;
    session.sql_mode = column_value(tunnel, result, row, "sql_mode");
    session.time_zone = column_value(tunnel, result, row, "time_zone");
    session.character_set_client = column_value(tunnel, result, row, "character_set_client");
    session.collation_connection = column_value(tunnel, result, row, "collation_connection");
    session.database_collation = column_value(tunnel, result, row, "Database Collation");
    return session;
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

bool DumpWriter::wants_all(ObjectKind kind) const {
    return job_.all_objects || job_.all_databases || job_.all_of_kind[kind];
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
        case kPackages:
            // Other servers have no packages: the list is empty there.
            statement.format(
                "select `SPECIFIC_NAME` from `INFORMATION_SCHEMA`.`ROUTINES` where `ROUTINE_SCHEMA` = '%s' and "
                "ROUTINE_TYPE = 'PACKAGE'",
                escape_literal(tunnel, source_.handle(), current_db_).c_str());
            break;
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
    if (kind == kViews) return view_loop(names, placeholders);
    return object_loop(kind, kind == kTriggers ? unwritten_triggers(names) : names);
}

int DumpWriter::object_list(ObjectKind kind) {
    if (job_.lists[kind].empty()) return 1;
    if (kind == kEvents && !server_knows(kind)) return 1;
    return object_loop(kind, kind == kTriggers ? unwritten_triggers(job_.lists[kind]) : job_.lists[kind]);
}

int DumpWriter::object_loop(ObjectKind kind, const std::vector<std::string>& names) {
    events_(current_db_.c_str(), static_cast<long>(names.size()), kObjectCount);
    event_scheduler_written_ = false;
    // Triggers and events have no finished line of their own.
    const bool finished_event = kind == kProcedures || kind == kFunctions || kind == kPackages;
    return each_object(
        names,
        [this, kind](const std::string& name, bool& file_open_failed) { return dump_object(kind, name, file_open_failed); },
        finished_event);
}

// The frame every routine, package, event and trigger shares: its own file, the start
// event, flush logs before and FLUSH MASTER after its statements.
int DumpWriter::dump_object(ObjectKind kind, const std::string& name, bool& file_open_failed) {
    if (!begin_object_file(name, file_open_failed)) return 0;
    events_(name.c_str(), 0, facts(kind).start_event);
    if (flushes_per_object() && options().flushlogs) {
        int flushed = source_.send("flush logs");
        if (!flushed && kind != kFunctions) return 0;
    }
    int ok = 0;
    switch (kind) {
        case kProcedures:
        case kFunctions: ok = write_routine(kind, name); break;
        case kPackages: ok = write_package(name); break;
        case kEvents: ok = write_event(name); break;
        default: ok = write_trigger(name); break;
    }
    if (!ok) return 0;
    if (flushes_per_object() && options().flushmaster) source_.send("FLUSH MASTER");
    end_object_file();
    return 1;
}

int DumpWriter::show_create_program(const char* what, const std::string& name, const char* column,
                                    ProgramDefinition& definition) {
    StrBuf statement;
    statement.format("show create %s `%s`.`%s`", what, quoted(current_db_).c_str(), quoted(name).c_str());
    int ok = 0;
    ResultPtr result = source_.query(statement.c_str(), ok);
    if (!ok || !result) {
        if (!ok && !source_.cancelled() && source_.tunnel().error_number(source_.handle()) == 1305)
            return -1;  // no such object (the error is recorded)
        if (ok) source_.record_error("");
        return 0;
    }
    Tunnel& tunnel = source_.tunnel();
    MYSQL_ROW row = tunnel.fetch_row(result.get());
    std::optional<std::string> create = row ? column_value(tunnel, result.get(), row, column) : std::nullopt;
    if (!create) {
        source_.record_error("");
        return 0;
    }
    definition.create = std::move(*create);
    definition.session = session_from(tunnel, result.get(), row);
    return 1;
}

// A CREATE statement between delimiter lines, inside its own session; first (a DROP that
// may need the object's own SQL mode to parse) goes before it in that session.
void DumpWriter::write_program(const char* version_comment, const std::string& create,
                               const ProgramSession& session, std::string_view first) {
    const Framing framing(create);
    std::string block(first);
    block += delimiter_line(framing.delimiter);
    block += "\n";
    block += framing.open(version_comment);
    block += create;
    block += framing.close();
    block += framing.delimiter;
    block += "\nDELIMITER ;\n";
    write_in_session(session, std::move(block));
}

// ---------------------------------------------------------------------------------------

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
    write_program("/*!50003 ", definition.str(), session);
    return 1;
}

// A package (MariaDB): its declaration, then its body when it has one. Both are written
// in MariaDB-only comments; they need the package's own SQL mode (ORACLE) to parse.
int DumpWriter::write_package(const std::string& name) {
    ProgramDefinition declaration, body;
    if (show_create_program("package", name, "Create Package", declaration) <= 0) return 0;
    int has_body = show_create_program("package body", name, "Create Package Body", body);
    if (has_body == 0) return 0;
    source_.clear_error();  // a package without a body

    const std::string q = quoted(name);
    StrBuf& out = output_.buffer();
    out.append_format("\n/* Package structure for package `%s` */\n", comment_name(name).c_str());
    // DROP PACKAGE is a statement of the ORACLE mode only: it goes inside the package's session.
    StrBuf drop;
    if (options().dropobjects) drop.format("\n/*M!100303 DROP PACKAGE IF EXISTS `%s` */;\n", q.c_str());
    write_program("/*M!100303 ", declaration.create, declaration.session, drop.view());
    if (has_body > 0) {
        out.append_format("\n/* Package body structure for package `%s` */\n", comment_name(name).c_str());
        write_program("/*M!100303 ", body.create, body.session);
    }
    return 1;
}

int DumpWriter::write_event(const std::string& name) {
    ProgramDefinition event;
    if (show_create_program("event", name, "Create Event", event) <= 0) return 0;
    StrBuf& out = output_.buffer();
    // Replaying a dump must not change the server beyond its databases (nor need the
    // privilege to): the scheduler's state is told, not set.
    if (!event_scheduler_written_) {
        out.append_format("\n/* The event scheduler of the source server was %s; this dump does not change it. */\n",
                          sql_comment_text(event_scheduler_state()).c_str());
        event_scheduler_written_ = true;
    }
    out.append_format("\n/* Event structure for event `%s` */\n", comment_name(name).c_str());
    if (options().dropobjects) out.append_format("\n/*!50106 DROP EVENT IF EXISTS `%s`*/;\n", quoted(name).c_str());
    write_program("/*!50106 ", event.create, event.session);
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
    const ProgramSession session = session_from(tunnel, result.get(), row);
    output_.buffer().append_format("\n/* Trigger structure for table `%s` */\n", comment_name(text(row[2])).c_str());
    const Framing framing(text(row[3]));
    StrBuf block;
    block.append(delimiter_line(framing.delimiter));
    if (options().dropobjects) {
        block.append("\n/*!50003 DROP TRIGGER*/");
        block.append_format("/*!50032 IF EXISTS */ /*!50003 `%s` */%s\n", quoted(name).c_str(), framing.delimiter);
    }
    if (framing.versioned) {
        block.append_format("\n/*!50003 CREATE */ %s /*!50003 TRIGGER `%s` %s %s ON `%s` FOR EACH ROW %s */%s\n\n",
                            definer.c_str(), quoted(text(row[0])).c_str(), text(row[4]), text(row[1]),
                            table.c_str(), text(row[3]), framing.delimiter);
    } else {
        block.append_format("\nCREATE %s TRIGGER `%s` %s %s ON `%s` FOR EACH ROW %s%s\n\n", definer.c_str(),
                            quoted(text(row[0])).c_str(), text(row[4]), text(row[1]), table.c_str(), text(row[3]),
                            framing.delimiter);
    }
    block.append("\nDELIMITER ;\n");
    write_in_session(session, block.str());
    return 1;
}

// ---------------------------------------------------------------------------------------
// Triggers follow their table's rows, so that a replay cut short keeps the triggers of the
// tables it restored, and no trigger fires on the rows being restored. Those of tables not
// in the dump (and, in a file per object, all of them) come in the trigger pass.

int DumpWriter::load_table_triggers() {
    table_triggers_.clear();
    const bool all = wants_all(kTriggers);
    const std::vector<std::string>& listed = job_.lists[kTriggers];
    if (output_.form() == OutputForm::per_object || (!all && listed.empty()) || !server_knows(kTriggers)) return 1;
    StrBuf statement;
    statement.format(
        "select `TRIGGER_NAME`, `EVENT_OBJECT_TABLE` from `INFORMATION_SCHEMA`.`TRIGGERS` where `TRIGGER_SCHEMA` = '%s' "
        "order by `EVENT_OBJECT_TABLE`, `ACTION_ORDER`",
        escape_literal(source_.tunnel(), source_.handle(), current_db_).c_str());
    int ok = 0;
    ResultPtr rows = source_.query(statement.c_str(), ok);
    if (!ok || !rows) {
        source_.clear_error();  // the trigger pass asks again and reports
        return 1;
    }
    while (MYSQL_ROW row = source_.tunnel().fetch_row(rows.get())) {
        if (!row[0] || !row[1]) continue;
        if (all || std::find(listed.begin(), listed.end(), row[0]) != listed.end())
            table_triggers_[row[1]].emplace_back(row[0]);
    }
    return 1;
}

int DumpWriter::table_triggers(const std::string& table) {
    auto at = table_triggers_.find(table);
    if (at == table_triggers_.end()) return 1;
    for (const std::string& name : at->second) written_triggers_.insert(current_db_ + "." + name);
    return object_loop(kTriggers, at->second);
}

std::vector<std::string> DumpWriter::unwritten_triggers(const std::vector<std::string>& names) const {
    std::vector<std::string> left;
    for (const std::string& name : names)
        if (!written_triggers_.count(current_db_ + "." + name)) left.push_back(name);
    return left;
}

}  // namespace kro::export_
