#include "import/row_text.h"

#include <strings.h>

#include "connection/sql_quote.h"
#include "platform/text_convert.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::connection;
using namespace kro::platform;
using namespace kro::report;

namespace kro::import {

namespace {

bool is_ignored(const ImportColumn& c) {
    return strcasecmp(c.source_name.c_str(), "ignore") == 0 || c.source_name == "<ignore>";
}

// A number as SQL accepts it unquoted; anything else is written as a quoted value, so that
// a source value can never end the statement early.
bool plain_number(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) return false;
    return true;
}

}  // namespace

RowText::RowText(const ImportTable& table, TargetWriter& target, bool access_guids)
    : table_(table), target_(target), access_guids_(access_guids) {
    for (const ImportColumn& c : table.columns) {
        ignored_.push_back(is_ignored(c));
        temporal_.push_back(is_temporal_type(c.type));
    }
}

bool RowText::escaped(StrBuf& text, const char* value, std::size_t length) {
    if (append_escaped_value(text, target_.tunnel(), target_.handle(), value, static_cast<unsigned long>(length)))
        return true;
    report_failure("\r\nERROR: A value could not be escaped for the target connection's character set.");
    return false;
}

bool RowText::build(const std::vector<FetchedValue>& values, StrBuf& text) {
    text.clear();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text.append(", ");
        if (!append_value(i, values[i], text)) return false;
    }
    return true;
}

bool RowText::append_value(std::size_t i, const FetchedValue& v, StrBuf& text) {
    const ImportColumn& c = table_.columns[i];
    Tunnel& tunnel = target_.tunnel();
    MYSQL* handle = target_.handle();
    if (ignored_[i]) {
        // The column's default, written as its CREATE TABLE clause has it.
        switch (c.default_kind) {
            case DefaultKind::number: case DefaultKind::current_time: text.append(c.default_value); return true;
            case DefaultKind::text:
                text.append("'");
                if (!append_escaped_value(text, tunnel, handle, c.default_value.data(),
                                          static_cast<unsigned long>(c.default_value.size())))
                    return false;
                text.append("'");
                return true;
            case DefaultKind::none: case DefaultKind::left_out: text.append("DEFAULT"); return true;
        }
    }
    if (v.is_null) {
        text.append("NULL");
        return true;
    }
    if (c.binary) {
        text.append("'");
        if (!escaped(text, v.bytes.data(), v.bytes.size())) return false;
        text.append("'");
        return true;
    }
    utf8_.clear();
    append_utf16_as_utf8(utf8_, v.wide.data(), v.wide.size());
    if (temporal_[i] && !exact_temporal_text(utf8_)) {
        // Stored as some other date, it would be a wrong value nobody is told about.
        StrBuf report;
        report.format("\r\nERROR: Column '%s' holds the value '%s', which MariaDB cannot store.\r\nTable:%s",
                      c.source_name.c_str(), utf8_.c_str(), target_.table().c_str());
        report_failure(report.c_str());
        return false;
    }
    if (c.numeric && (utf8_.empty() || plain_number(utf8_))) {
        text.append(utf8_.empty() ? "NULL" : utf8_);
        return true;
    }
    const bool guid = access_guids_ && c.odbc_type == SQL_GUID;
    text.append(guid ? "'{" : "'");
    if (!escaped(text, utf8_.data(), utf8_.size())) return false;
    text.append(guid ? "}'" : "'");
    return true;
}

}  // namespace kro::import
