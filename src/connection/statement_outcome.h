// StatementOutcome: what became of a statement sent to change rows: taken (with the rows it
// affected), refused for a duplicate key (naming the key), or failed. A small value that
// callers keep, so that what a statement did can be held against what it was meant to do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <mysql.h>

#include "connection/result_ptr.h"

namespace kro::connection {

class Tunnel;

struct StatementOutcome {
    enum Kind { ok, duplicate_key, failed };
    Kind kind = failed;
    std::uint64_t affected_rows = 0;  // ok: the rows the statement changed
    std::string key_name;             // duplicate_key: the unique key the row collided on
};

// The outcome of the statement last sent on the handle, given its result (null for a
// statement without rows and for a failure). The handle keeps its error for the caller's
// report.
StatementOutcome outcome_of(Tunnel& tunnel, MYSQL* handle, const ResultPtr& result);
// The outcome of a statement the caller knows was refused (duplicate key or failed), for
// calls that report a refusal by their return value alone (mysql_read_query_result).
StatementOutcome refusal_of(Tunnel& tunnel, MYSQL* handle);

// The key named by a duplicate-key error text ("Duplicate entry '1' for key 'PRIMARY'"), as
// the server wrote it (MySQL 8 puts the table's name and a dot in front); empty when the
// text names none.
std::string duplicate_key_name(std::string_view error_text);

}  // namespace kro::connection
