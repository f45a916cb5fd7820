#include "sync/sync_context.h"

#include <utility>

#include "platform/status_block.h"
#include "report/reporting.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

KeyClass key_class_of(const ColumnDefinition& column) {
    if (column.is_integer() || column.type == ColumnType::year) return KeyClass::integer;
    if (column.is_floating()) return KeyClass::floating;
    if (column.type == ColumnType::timestamp) return KeyClass::timestamp;
    if (column.type == ColumnType::time) return KeyClass::time;
    return KeyClass::other;
}

KeyColumn key_column(const ColumnDefinition& column) {
    KeyColumn key;
    key.name = column.name;
    key.key_class = key_class_of(column);
    key.unquoted = key.key_class == KeyClass::integer || key.key_class == KeyClass::floating;
    key.member = column.is_member();
    return key;
}

std::vector<std::string> split_column_list(const std::string& list) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at < list.size()) {
        std::size_t end = at + 1;
        // A name ends at a single backquote; a doubled one belongs to the name.
        while (end < list.size() && !(list[end] == '`' && (end + 1 == list.size() || list[end + 1] != '`')))
            end += list[end] == '`' ? 2 : 1;
        names.push_back(list.substr(at, end + 1 - at));
        at = end + 2;  // past the closing backquote and the comma
    }
    return names;
}

SyncContext::SyncContext(SyncSide& source, SyncSide& target, SyncMode mode, SyncScript& script,
                         ReportBody& report, StatusBlock& status)
    : source_(&source), target_(&target), mode_(mode), script_(script), report_(report), status_(status) {}

void SyncContext::swap_sides() { std::swap(source_, target_); }

void SyncContext::set_status(std::string_view text) { status_.set_status(text); }

void SyncContext::set_status_table(std::string_view table) { status_.set_table(table); }

void SyncContext::set_status_count(const char* format, unsigned count) {
    if (!status_.is_open()) return;
    StrBuf text;
    text.format(format, static_cast<int>(count));
    status_.set_status(text.view());
}

void SyncContext::report_error(SyncSide& side) {
    if (side.lost_changes) {
        // What became of the changes depends on the table's engine: the table's end says it.
        report_query_error(2013, "The connection to the server was lost with changes not yet committed.",
                           plan.table_label.c_str(), report_, nullptr);
        side.lost_changes = false;
        counts.session_lost = true;
        return;
    }
    report_error(side.tunnel().error_number(side.handle()), side.tunnel().error(side.handle()));
}

void SyncContext::report_error(unsigned number, const char* text) {
    report_query_error(number, text, plan.table_label.c_str(), report_, nullptr);
}

void SyncContext::report_table_failure(const char* text) {
    report_failure_no_entry(text);
    add_session_entry(text, plan.table_label.c_str());
}

}  // namespace kro::sync
