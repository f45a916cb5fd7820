// RowText: one source row as the value list of an INSERT: NULL stays NULL, numbers go as
// they are, every other value is escaped for the target connection's character set, and
// a column that gets no source value takes its default.
#pragma once

#include <string>
#include <vector>

#include "common/str_buf.h"
#include "import/import_settings.h"
#include "import/source_reader.h"
#include "import/target_writer.h"

namespace kro::import {

class RowText {
public:
    // access_guids: GUID values are written in braces, as an Access source wants them back.
    RowText(const ImportTable& table, TargetWriter& target, bool access_guids);

    // The row's values, comma-separated, into text (cleared first); false, reported, when
    // a value could not be escaped or is a date the target cannot hold.
    bool build(const std::vector<FetchedValue>& values, common::StrBuf& text);

private:
    bool append_value(std::size_t i, const FetchedValue& v, common::StrBuf& text);
    bool escaped(common::StrBuf& text, const char* value, std::size_t length);

    const ImportTable& table_;
    TargetWriter& target_;
    bool access_guids_;
    std::vector<char> ignored_;   // per column: gets no source value
    std::vector<char> temporal_;  // per column: a date or time
    std::string utf8_;
};

}  // namespace kro::import
