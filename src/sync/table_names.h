// The names of the tables a job file lists, as it writes them and as they go into SQL.
#pragma once

#include <string>
#include <string_view>

namespace kro::sync {

// The name a job file writes in backquotes (`t``1` is t`1), or the name as it is.
std::string unquoted_name(std::string_view name);

// Equal names, ignoring case and the backquotes a job file may write them in.
bool nocase_equal_unquoted(std::string_view a, std::string_view b);

// The name as it goes into SQL: a name the job file writes in backquotes is used as
// written, any other one is put in backquotes safely.
std::string sql_table_name(const std::string& name);

}  // namespace kro::sync
