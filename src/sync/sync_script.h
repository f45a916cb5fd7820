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
    // Ends the file: complete gives it its name; an incomplete one is kept with
    // ".incomplete" added. A file whose write failed is removed. 0 unless named.
    int finish(bool complete);
    // A write failed: the file lacks what was appended since (write_error() says why).
    bool failed() const { return file_.failed(); }
    const common::StrBuf& write_error() const { return file_.last_write_error(); }

private:
    connection::SqlFile file_;
};

}  // namespace kro::sync
