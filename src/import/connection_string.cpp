#include "import/connection_string.h"

#include <strings.h>

#include "common/str_buf.h"

namespace {

bool kind_is(const std::string& kind, const char* name) { return strcasecmp(kind.c_str(), name) == 0; }

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

std::string odbc_connection_string(const std::string& kind, const std::string& name, const std::string& user,
                                   const std::string& password) {
    StrBuf text;
    const std::string driver = file_kind_driver(kind, name);
    if (!driver.empty())
        text.format("Driver={%s}; DBQ=%s;UID=%s;PWD=%s", driver.c_str(), name.c_str(), user.c_str(), password.c_str());
    else if (kind_is(kind, "system"))
        text.format("DSN=%s;UID=%s;PWD=%s", name.c_str(), user.c_str(), password.c_str());
    else if (kind_is(kind, "file"))
        text.format("FILEDSN=%s;UID=%s;PWD=%s", name.c_str(), user.c_str(), password.c_str());
    return text.str();
}
