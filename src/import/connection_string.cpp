#include "import/connection_string.h"

#include <strings.h>

#include <sstream>

#include "common/str_buf.h"

using namespace kro::common;

namespace kro::import {

namespace {

bool kind_is(const std::string& kind, const char* name) { return strcasecmp(kind.c_str(), name) == 0; }

// A value as a connection string holds it: as it is when nothing in it could end or nest
// it, else in braces with each closing brace doubled (so a password may hold ";").
std::string connection_value(const std::string& value) {
    const bool plain = value.find_first_of(";{}") == std::string::npos &&
                       (value.empty() || (value.front() != ' ' && value.back() != ' '));
    if (plain) return value;
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') out += '}';
    }
    return out + "}";
}

std::string extension_of(const std::string& path) {
    std::size_t dot = path.rfind('.');
    return dot == std::string::npos ? "" : path.substr(dot);
}

}  // namespace

std::string file_kind_driver(const std::string& kind, const std::string& path, bool* newer) {
    const std::string ext = extension_of(path);
    bool is_new = false;
    std::string driver;
    if (kind_is(kind, "access")) {
        is_new = strcasecmp(ext.c_str(), ".accdb") == 0;
        driver = is_new ? "Microsoft Access Driver (*.mdb, *.accdb)" : "Microsoft Access Driver (*.mdb)";
    } else if (kind_is(kind, "excel")) {
        is_new = strcasecmp(ext.c_str(), ".xlsx") == 0;
        driver = is_new ? "Microsoft Excel Driver (*.xls, *.xlsx, *.xlsm, *.xlsb)" : "Microsoft Excel Driver (*.xls)";
    } else if (kind_is(kind, "csv")) {
        driver = "Microsoft Text Driver (*.txt; *.csv)";
    }
    if (newer) *newer = is_new;
    return driver;
}

std::vector<std::string> access_driver_alternatives(const std::string& path) {
    std::vector<std::string> names;
    if (strcasecmp(extension_of(path).c_str(), ".accdb") == 0) names.push_back("Microsoft Access Driver (*.mdb)");
    names.push_back("MDBTools");
    names.push_back("MDB Tools");
    return names;
}

std::string odbc_connection_string(const std::string& kind, const std::string& name, const std::string& user,
                                   const std::string& password, const std::string& installed) {
    StrBuf text;
    const std::string driver = installed.empty() ? file_kind_driver(kind, name) : installed;
    const std::string n = connection_value(name), u = connection_value(user), p = connection_value(password);
    if (!driver.empty())
        text.format("Driver={%s}; DBQ=%s;UID=%s;PWD=%s", driver.c_str(), n.c_str(), u.c_str(), p.c_str());
    else if (kind_is(kind, "system"))
        text.format("DSN=%s;UID=%s;PWD=%s", n.c_str(), u.c_str(), p.c_str());
    else if (kind_is(kind, "file"))
        text.format("FILEDSN=%s;UID=%s;PWD=%s", n.c_str(), u.c_str(), p.c_str());
    return text.str();
}

std::string file_dsn_connection_string(const std::string& file_text, const std::string& user,
                                       const std::string& password) {
    std::istringstream in(file_text);
    std::string line, out;
    bool in_section = false, found = false, has_user = false, has_password = false;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == ';' || line[start] == '#') continue;
        line = line.substr(start);
        if (line[0] == '[') {
            in_section = strcasecmp(line.c_str(), "[ODBC]") == 0;
            found = found || in_section;
            continue;
        }
        std::size_t eq = line.find('=');
        if (!in_section || eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        value.erase(0, value.find_first_not_of(" \t"));
        const bool is_user = strcasecmp(key.c_str(), "UID") == 0, is_password = strcasecmp(key.c_str(), "PWD") == 0;
        if ((is_user && !user.empty()) || (is_password && !password.empty())) continue;
        has_user = has_user || is_user;
        has_password = has_password || is_password;
        // A value the file already gives in braces is taken as written.
        if (value.empty() || value.front() != '{') value = connection_value(value);
        out += key + "=" + value + ";";
    }
    if (!found) return "";
    if (!has_user) out += "UID=" + connection_value(user) + ";";
    if (!has_password) out += "PWD=" + connection_value(password);
    if (!out.empty() && out.back() == ';') out.pop_back();
    return out;
}

}  // namespace kro::import
