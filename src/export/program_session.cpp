// The session a stored object was created in. The body means what it meant under its own
// SQL mode (strictness, ANSI_QUOTES, NO_BACKSLASH_ESCAPES...) and character settings, and
// the object keeps them: they are set around its CREATE statement and restored after it,
// its text in the character set it was sent to the server in, and a routine, trigger or
// event is made while its database has the default collation it had when it was made.
#include <algorithm>
#include <array>
#include <cctype>
#include <strings.h>

#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "export/dump_writer.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

namespace {

// The session variables of an object: each with the user variable that keeps the
// replaying session's value meanwhile, and the object's own value.
struct SessionVariable {
    const char* name;
    const char* saved_as;
    const std::optional<std::string>& value;
};

std::array<SessionVariable, 5> session_variables(const ProgramSession& session) {
    return {{{"character_set_client", "@saved_cs_client", session.character_set_client},
             {"character_set_results", "@saved_cs_results", session.character_set_client},
             {"collation_connection", "@saved_col_connection", session.collation_connection},
             {"time_zone", "@saved_time_zone", session.time_zone},
             {"sql_mode", "@saved_sql_mode", session.sql_mode}}};
}

// A character set or collation name the server gave, fit to be written unquoted.
bool is_plain_name(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// The bytes below 0x80, in their order.
std::string ascii_bytes(std::string_view text) {
    std::string out;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x80) out += c;
    return out;
}

std::string hex_text(std::string_view text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        out += kDigits[static_cast<unsigned char>(c) >> 4];
        out += kDigits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A character set's name as the server compares it: "utf8" is utf8mb3.
std::string charset_key(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name == "utf8" ? "utf8mb3" : name;
}

// Whether text in character set `bytes` reads the same when declared as `declared`.
bool text_reads_as(std::string_view text, const std::string& bytes, const std::string& declared) {
    if (bytes.empty() || is_ascii(text)) return true;
    const std::string b = charset_key(bytes), d = charset_key(declared);
    return b == d || (b == "utf8mb4" && d == "utf8mb3");  // utf8mb3 text is utf8mb4 text too
}

}  // namespace

int DumpWriter::routine_session(ObjectKind kind, const std::string& name, ProgramSession& session) {
    if (!server_at_least_5_0_10(source_.tunnel(), source_.handle())) return 1;
    Tunnel& tunnel = source_.tunnel();
    StrBuf statement;
    statement.format(
        "select `SQL_MODE`, `CHARACTER_SET_CLIENT`, `COLLATION_CONNECTION`, `DATABASE_COLLATION` from "
        "`INFORMATION_SCHEMA`.`ROUTINES` "
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
    auto value = [](const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; };
    session.sql_mode = value(row[0]);
    session.character_set_client = value(row[1]);
    session.collation_connection = value(row[2]);
    session.database_collation = value(row[3]);
    return 1;
}

const std::string& DumpWriter::text_charset() {
    if (!text_charset_) {
        int ok = 0;
        ResultPtr result = source_.query("select @@character_set_results", ok);
        MYSQL_ROW row = ok && result ? source_.tunnel().fetch_row(result.get()) : nullptr;
        text_charset_ = row && row[0] && strcasecmp(row[0], "binary") != 0 ? row[0] : "";
        source_.clear_error();  // not knowing it only keeps each object's own setting
    }
    return *text_charset_;
}

// Puts text, which the server sent in the connection's character set, back into the
// object's own set, where that set holds every character and keeps every ASCII byte where
// it was: the replaying client splits statements reading the bytes as ASCII, and a
// multi-byte character with an ASCII byte in it (gbk, big5, sjis) would read as a quote or
// a backslash there. The server converts, so the text is what it will read back. 0 (text
// unchanged) when it cannot be done.
int DumpWriter::text_to_charset(std::string& text, const std::string& charset) {
    const std::string& from = text_charset();
    if (!is_plain_name(from) || !is_plain_name(charset)) return 0;
    // A statement beyond the server's packet limit would cost the connection.
    constexpr std::size_t kStatementFrame = 1024;
    if (max_packet_bytes_ == 0 || text.size() * 2 + kStatementFrame > max_packet_bytes_) return 0;
    StrBuf statement;
    statement.format(
        "select cast(convert(t using %s) as binary), cast(convert(convert(t using %s) using %s) as binary) = "
        "cast(t as binary) from (select convert(X'%s' using %s) as t) as a",
        charset.c_str(), charset.c_str(), from.c_str(), hex_text(text).c_str(), from.c_str());
    int ok = 0;
    ResultPtr result = source_.query(statement.c_str(), ok);
    Tunnel& tunnel = source_.tunnel();
    MYSQL_ROW row = ok && result ? tunnel.fetch_row(result.get()) : nullptr;
    unsigned long* lengths = row ? tunnel.fetch_lengths(result.get()) : nullptr;
    if (!row || !lengths || !row[0] || !row[1] || std::string_view(row[1]) != "1") {
        source_.clear_error();  // the text stays in the set it is in
        return 0;
    }
    std::string converted(row[0], lengths[0]);
    if (ascii_bytes(converted) != ascii_bytes(text)) return 0;
    text = std::move(converted);
    return 1;
}

// The default collation the current database has now ("" when unknown).
const std::string& DumpWriter::database_collation() {
    if (collation_of_ && collation_of_->first == current_db_) return collation_of_->second;
    StrBuf statement;
    statement.format("select `DEFAULT_COLLATION_NAME` from `INFORMATION_SCHEMA`.`SCHEMATA` where `SCHEMA_NAME` = '%s'",
                     escape_literal(source_.tunnel(), source_.handle(), current_db_).c_str());
    int ok = 0;
    ResultPtr result = source_.query(statement.c_str(), ok);
    MYSQL_ROW row = ok && result ? source_.tunnel().fetch_row(result.get()) : nullptr;
    source_.clear_error();  // not knowing it only leaves the objects in the replaying database's
    collation_of_.emplace(current_db_, row && row[0] ? row[0] : "");
    return collation_of_->second;
}

// An object's statements (block) inside the session it was created in: its SQL mode and
// character settings are set before and restored after, and a routine, trigger or event
// made while its database had another default collation (which its parameters, variables
// and literals take) is made while the replaying database has that collation too. The
// statement without a name alters the database being replayed into.
void DumpWriter::write_in_session(const ProgramSession& program, std::string block) {
    ProgramSession session = program;
    if (session.character_set_client && !text_reads_as(block, text_charset(), *session.character_set_client) &&
        !text_to_charset(block, *session.character_set_client))
        session.character_set_client = text_charset();
    std::string collation;
    if (session.database_collation && is_plain_name(*session.database_collation) &&
        is_plain_name(database_collation()) && *session.database_collation != database_collation())
        collation = *session.database_collation;
    StrBuf& out = output_.buffer();
    if (!collation.empty()) out.append_format("\n/*!50003 ALTER DATABASE COLLATE %s */;\n", collation.c_str());
    std::string saved, wanted, restored;
    for (const SessionVariable& v : session_variables(session)) {
        if (!v.value) continue;
        const char* comma = saved.empty() ? "" : ", ";
        saved += comma + std::string(v.saved_as) + "=@@" + v.name;
        wanted += comma + std::string(v.name) + "='" + escape_literal(source_.tunnel(), source_.handle(), *v.value).str() + "'";
        restored += comma + std::string(v.name) + "=" + v.saved_as;
    }
    if (!saved.empty())
        out.append_format("\n/*!50003 SET %s */;\n/*!50003 SET %s */;\n", saved.c_str(), wanted.c_str());
    out.append(block);
    if (!restored.empty()) out.append_format("\n/*!50003 SET %s */;\n", restored.c_str());
    if (!collation.empty())
        out.append_format("\n/*!50003 ALTER DATABASE COLLATE %s */;\n", database_collation().c_str());
}

}  // namespace kro::export_
