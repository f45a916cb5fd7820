// The ODBC connection string of an import source and, for the file kinds, the driver name.
#pragma once

#include <string>
#include <vector>

namespace kro::import {

// The driver a file kind ("access", "excel", "csv", any case) is opened with, by the
// path's extension; "" for the other kinds. *newer is set for the Office 2007 names, which
// must be installed under that name.
std::string file_kind_driver(const std::string& kind, const std::string& path, bool* newer = nullptr);

// The names, after the kind's own, under which an Access file's driver may be installed:
// the older Access name (for .accdb) and MDB Tools' names (Debian registers "MDBTools").
std::vector<std::string> access_driver_alternatives(const std::string& path);

// "DSN=...", "FILEDSN=..." or "Driver={...}; DBQ=..." with user and password; "" for an
// unknown kind. driver: the installed name to use for a file kind ("" for its own).
std::string odbc_connection_string(const std::string& kind, const std::string& name, const std::string& user,
                                   const std::string& password, const std::string& driver = "");

// The keys of a file DSN's [ODBC] section as a connection string, followed by the job's
// user and password (which replace the file's own when given). unixODBC's wide connect
// does not open FILEDSN= itself. "" when the text has no [ODBC] section.
std::string file_dsn_connection_string(const std::string& file_text, const std::string& user,
                                       const std::string& password);

}  // namespace kro::import
