// SyncScript: the SQL script a sync run writes in the modes that want one. Texts are
// appended to a buffer that reaches the file once it holds more than 8191 bytes, so the
// file holds exactly the appended texts in order. The file is created 0600 under a
// temporary name and takes its name when the run ends complete.
#pragma once

#include <string>
#include <string_view>

#include "common/str_buf.h"
#include "connection/sql_file.h"

namespace kro::sync {

class SyncScript {
public:
    // 0 when the file cannot be created.
    int open(const std::string& path);
    bool is_open() const { return file_.is_open(); }

    // append_script: appends, then writes the buffer when it has grown past 8191 bytes.
    void append(std::string_view text);
    void append(const common::StrBuf& text) { append(text.view()); }
    // flush_script: writes whatever the buffer holds.
    void flush();
    // Ends the file: complete gives it its name. 0 when it could not be written.
    int finish(bool complete);
    bool failed() const { return file_.failed(); }

private:
    connection::SqlFile file_;
};

}  // namespace kro::sync
