// What an Access file says of a table's columns in its own property block (the LvProp
// value of the table's row in MSysObjects), which a driver's catalogue answer may leave
// out or get wrong.
#pragma once

#include <string>
#include <vector>

namespace kro::import {

// The names of the columns whose "Required" property is set (NOT NULL in the file), read
// from a property block of a Jet 3 ("KKD") or Jet 4 / ACE ("MR2") file. An empty or
// malformed block gives none.
std::vector<std::string> access_required_columns(const std::string& block);

}  // namespace kro::import
