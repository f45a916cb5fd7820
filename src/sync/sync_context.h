// SyncContext: what one sync run shares between its steps. It holds the two servers (the
// side rows are copied from and the side they are copied to; the reverse pass of a two-way
// sync swaps them), the run's settings, its script and report, and the plan and counts of
// the table now being synced. Owned by the run; one thread, except that a chunk comparison
// may use each side's connection on a worker thread of its own (see SyncSide).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <mysql.h>

#include "common/str_buf.h"
#include "connection/column_definition.h"
#include "connection/connect.h"
#include "connection/connection_info.h"
#include "connection/kept_session.h"
#include "connection/result_ptr.h"

namespace kro::platform {
class StatusBlock;
}

namespace kro::report {
struct ReportBody;
}

namespace kro::sync {

class SyncScript;

enum class SyncMode { direct, script_only, direct_and_script };

// How a key column's values are cut into ranges and written: integer, floating, timestamp
// and time keys can be cut by value; every other key (ENUM and SET among them) is walked
// in key order.
enum class KeyClass { integer, floating, timestamp, time, other };
KeyClass key_class_of(const connection::ColumnDefinition& column);

// The names of a column list "`a`,`b`", each still in its backquotes (doubled backquotes
// inside a name are kept as they are).
std::vector<std::string> split_column_list(const std::string& list);

struct KeyColumn {
    std::string name;                    // as the server returned it
    KeyClass key_class = KeyClass::other;
    bool unquoted = false;               // integer and float values go into SQL without quotes
    int result_index = -1;               // position in a row-level source result
    // ENUM or SET: the key order's boundaries compare its member number (its value + 0),
    // since the server orders it by that but compares it with a text as a text.
    bool member = false;
};

// The key column of that definition (result_index not yet known).
KeyColumn key_column(const connection::ColumnDefinition& column);

// One server as the run uses it. Statements go through query_side() (sync_statements.h),
// which brings a lost session back with the run's session settings when that loses no
// work (see KeptSession). Everything here belongs to this side only, so that a worker
// thread may run one side's statements while another runs the other's.
struct SyncSide : connection::KeptSession {
    bool utf8 = true;             // the server is 4.1.0 or later: its texts are UTF-8
    bool fkcheck = false;         // foreign key checks are switched off in its session
    bool saved_settings = false;  // the session settings' save forms were sent (restored at the end)
    bool multi_statements = false;  // row changes travel several to a round trip (set again on a new session)

protected:
    bool set_up() override;  // set_up_sync_session
};

// A unique index of the target's table besides the one its rows are paired by.
struct UniqueIndex {
    std::string name;
    std::vector<std::string> columns;  // as the server names them, in index order
};

// What is decided about the target's table once, before its first change (table_facts.h),
// and read from here by every step after: none asks the server again, least of all after
// a failure, when the session may be gone.
struct TableFacts {
    bool engine_rolls_back = false;  // the table's engine undoes uncommitted changes (InnoDB, not MyISAM)
    // A failure is undone: the engine rolls back, the target is reached directly and its
    // session runs in a transaction. What undo says, whether a lost write may be sent again,
    // the round-trip size and whether rows may be staged follow from it.
    bool rolls_back = false;
    std::size_t change_batch = 1;    // row changes sent to the target per round trip
    std::string triggers;            // the target's triggers on the table, "a, b" (empty: none)
    std::string delete_triggers;     // those of them that fire on DELETE
    bool triggers_known = true;      // false when the look-up of either failed
    // Tables whose foreign keys refer to this one on the target while the session checks
    // them, "a, b": a delete would reach their rows. referred_to also when the look-up failed.
    bool referred_to = false;
    std::string referring_tables;
    // The target's unique indexes besides the sync's; found with the key, before any change.
    std::vector<UniqueIndex> unique_indexes;
};

// What is fixed for a table in one direction once it is described: its names, which rows
// and columns count, its key, and the column texts its statements are built from.
struct TablePlan {
    std::string table;                       // as it goes into SQL (in backquotes)
    std::string table_label;                 // as messages, the summary and the script show it
    std::optional<std::string> filter;       // a WHERE condition for the source's rows
    std::optional<std::string> column_list;  // "`a`,`b`": only these columns (and the key) are compared and written
    bool delete_allowed = true;              // rows the source lacks may be deleted
    bool only_deletes = false;               // the pass that deletes what tables referring to it no longer need
    std::vector<connection::ColumnDefinition> columns;  // the source's columns, in table order
    std::string all_columns;                 // every column, "`a`,`b`"
    // The columns rows are read and written with (column_values.h): their positions in
    // columns, the select list that reads them, and their names for an INSERT.
    std::vector<std::size_t> row_columns;
    std::string row_select;
    std::string row_names;
    std::string checksum_expression;         // the row digest's columns (the column list when given)
    // Per column, in table order: the target holds its text in the same character set, so
    // that its digest takes the bytes (found by the compatibility check; empty: unknown).
    std::vector<bool> same_charset;
    std::vector<KeyColumn> keys;             // key columns in key order
    std::string key_list;                    // "`a`,`b`"
    std::string index_name;                  // the index that orders the key
    std::uint64_t source_rows = 0;           // the source's row count
    TableFacts facts;
    // What the table's summary line shows on the console so far, for a progress line.
    std::string console_line;
};

// What a table counts in one direction.
struct TableCounts {
    unsigned inserted = 0;
    unsigned updated = 0;
    unsigned deleted = 0;
    unsigned failures = 0;  // statements the target refused, or that did not do what they were sent for
    bool changed = false;   // the target took a change of this table
    bool session_lost = false;  // a session lost with changes it had not committed
};

class SyncContext {
public:
    SyncContext(SyncSide& source, SyncSide& target, SyncMode mode, SyncScript& script, report::ReportBody& report,
                platform::StatusBlock& status);
    SyncContext(const SyncContext&) = delete;
    SyncContext& operator=(const SyncContext&) = delete;

    // The side rows are copied from and the side they are copied to.
    SyncSide& source() { return *source_; }
    SyncSide& target() { return *target_; }
    // The reverse pass of a two-way sync, and the delete pass of a table without a key.
    void swap_sides();

    SyncMode mode() const { return mode_; }
    bool fkcheck() const { return fkcheck_; }
    void set_fkcheck(bool on) { fkcheck_ = on; }
    SyncScript& script() { return script_; }
    report::ReportBody& report() { return report_; }
    // The table the status texts are about from now on.
    void set_status_table(std::string_view table);
    // Publishes a short state text for a watching program (nothing when none watches).
    void set_status(std::string_view text);
    // A status text with one count in it ("...Inserting row: %d"); formatted only when a
    // watcher's block is open, since it is set for every row.
    void set_status_count(const char* format, unsigned count);
    // Appends to the script when the mode writes one.
    bool writes_script() const { return mode_ != SyncMode::direct; }
    bool writes_target() const { return mode_ != SyncMode::script_only; }

    // Largest multi-row INSERT in bytes: the target's packet allowance, at most 16 MB.
    long byte_limit = 0;

    // The table now being synced, in the current direction.
    TablePlan plan;
    TableCounts counts;
    // A table, or the reverse pass of one, starts with its own plan and counts of nothing.
    void begin_table(TablePlan next) {
        plan = std::move(next);
        counts = TableCounts{};
    }

    // A failed statement on a side: reported once, naming the current table.
    void report_error(SyncSide& side);
    // The same for an error the caller kept from the side's handle.
    void report_error(unsigned number, const char* text);
    // A failure of the current table found by the sync itself: console, log, and a session
    // entry naming the table.
    void report_table_failure(const char* text);

private:
    SyncSide* source_;
    SyncSide* target_;
    SyncMode mode_;
    bool fkcheck_ = false;
    SyncScript& script_;
    report::ReportBody& report_;
    platform::StatusBlock& status_;
};

}  // namespace kro::sync
