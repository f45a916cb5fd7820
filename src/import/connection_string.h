// The ODBC connection string of an import source and, for the file kinds, the driver name.
#pragma once

#include <string>

// The driver a file kind ("access", "excel", "csv", any case) is opened with, by the
// path's extension; "" for the other kinds. *newer is set for the Office 2007 names, which
// must be installed under that name.
std::string file_kind_driver(const std::string& kind, const std::string& path, bool* newer = nullptr);

// "DSN=...", "FILEDSN=..." or "Driver={...}; DBQ=..." with user and password; "" for an
// unknown kind.
std::string odbc_connection_string(const std::string& kind, const std::string& name, const std::string& user,
                                   const std::string& password);
