// The statements for single rows: value texts, the WHERE that identifies a row by its key,
// and the delete, insert and update phases of a differing chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <mysql.h>

#include "common/str_buf.h"
#include "connection/result_ptr.h"
#include "sync/sync_context.h"

namespace kro::sync {

enum class RowActionCode : std::uint8_t { delete_row = 0, insert_row = 1, update_row = 2, nothing = 3 };

// One decision of the row merge: the row's 1-based number in the result it comes from
// (the target's for a delete, the source's for an insert or update).
struct RowAction {
    std::uint32_t row = 0;
    RowActionCode action = RowActionCode::nothing;
};

// The row's values (the plan's row columns, column_values.h) as literals joined by ", ".
// 0 when a value cannot be escaped (reported).
int append_value_list(SyncContext& ctx, common::StrBuf& out, MYSQL_ROW row, const unsigned long* lengths);
// "`k` = v AND ..." with the side's literals, from the key values at the key columns'
// result positions (source: true) or at 0 .. n - 1 (a target row, or a source row laid out
// as one). 0 when a key value is NULL or cannot be escaped (reported).
int append_key_match(SyncContext& ctx, SyncSide& side, common::StrBuf& out, MYSQL_ROW row,
                     const unsigned long* lengths, bool source);
// " WHERE (`k` = v AND ...)": append_key_match with the target's literals.
int append_row_identification(SyncContext& ctx, common::StrBuf& out, MYSQL_ROW row, const unsigned long* lengths,
                              bool source);

// Each phase takes the entries from its first one, runs while they carry its action, and
// gives in next the number of entries it used. 1 when every row was applied as the merge
// expects (a delete or update meets its row, an insert adds one); 0 at the first failure
// (reported by the statement path). A new row that the target holds by the sync's key is
// updated instead; a duplicate on any other unique key is a failure.
int apply_deletes(SyncContext& ctx, connection::TunnelResult* target_rows, std::span<const RowAction> entries,
                  std::size_t& next);
int apply_inserts(SyncContext& ctx, connection::TunnelResult* source_rows, std::span<const RowAction> entries,
                  std::size_t& next);
int apply_updates(SyncContext& ctx, connection::TunnelResult* source_rows, std::span<const RowAction> entries);
// A chunk's staged updates (chunk_changes.h): first each row to update is deleted, and
// once the new rows are in, its new values are inserted (counted as updated). Both take
// the update entries from their first one.
int remove_rows_to_update(SyncContext& ctx, connection::TunnelResult* source_rows, std::span<const RowAction> entries);
int insert_updated_rows(SyncContext& ctx, connection::TunnelResult* source_rows, std::span<const RowAction> entries);

}  // namespace kro::sync
