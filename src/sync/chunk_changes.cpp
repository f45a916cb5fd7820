#include "sync/chunk_changes.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "connection/sql_quote.h"
#include "sync/column_values.h"
#include "sync/sync_statements.h"
#include "sync/table_facts.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

namespace {

// A row of the chunk that takes unique values on the target: one to update or insert.
struct Taker {
    std::size_t entry = 0;  // in the chunk's actions
    bool update = false;
    std::string key;        // its key values, as key_text gives them
    std::string where;      // " WHERE (...)", for the texts that name it
    // Per unique index of the facts: its new values as "(v, ...)", none where one is NULL
    // (a NULL meets no other value in a unique index).
    std::vector<std::optional<std::string>> values;
    // Per unique index: the target rows holding those values now, by key.
    std::vector<std::vector<std::string>> holders;
};

// The first count fields of a row as one comparable text.
std::string key_text(MYSQL_ROW row, const unsigned long* lengths, const std::vector<int>& at) {
    std::string text;
    for (int i : at) {
        if (!row[i]) return {};
        text += std::to_string(lengths[i]) + ":" + std::string(row[i], lengths[i]);
    }
    return text;
}

// The key columns as both sides select them for comparing.
std::string key_select(const SyncContext& ctx) {
    std::string list;
    for (const KeyColumn& key : ctx.plan.keys) {
        const ColumnDefinition* column = find_column(ctx.plan.columns, key.name);
        list += (list.empty() ? "" : ",") + (column ? read_item(*column) : backquoted(key.name));
    }
    return list;
}

std::vector<int> first_fields(std::size_t count, int from = 0) {
    std::vector<int> at;
    for (std::size_t i = 0; i < count; ++i) at.push_back(from + static_cast<int>(i));
    return at;
}

class UniqueMoves {
public:
    UniqueMoves(SyncContext& ctx, std::span<const RowAction> actions) : ctx_(ctx), actions_(actions) {}

    // Reads both sides; 0 when a statement failed (reported).
    int find(TunnelResult* target_rows, TunnelResult* source_rows);
    // The updates to stage, by entry.
    const std::set<std::size_t>& staged() const { return staged_; }
    // Why the chunk's changes cannot all land in place or staged (empty: they can).
    const std::string& conflict() const { return conflict_; }
    const std::string& swap() const { return swap_; }

private:
    int read_takers(TunnelResult* source_rows);
    int read_holders();
    void judge();

    SyncContext& ctx_;
    std::span<const RowAction> actions_;
    std::vector<Taker> takers_;
    std::set<std::string> deleted_;  // keys of the chunk's deleted rows
    std::set<std::size_t> staged_;
    std::string conflict_, swap_;
};

int UniqueMoves::find(TunnelResult* target_rows, TunnelResult* source_rows) {
    const std::vector<int> target_keys = first_fields(ctx_.plan.keys.size());
    Tunnel& target = ctx_.target().tunnel();
    std::set<std::uint32_t> deletes;
    for (const RowAction& action : actions_)
        if (action.action == RowActionCode::delete_row) deletes.insert(action.row);
    if (!deletes.empty() && target_rows) {
        target.data_seek(target_rows, 0);
        std::uint32_t number = 0;
        while (MYSQL_ROW row = target.fetch_row(target_rows))
            if (deletes.count(++number)) deleted_.insert(key_text(row, target.fetch_lengths(target_rows), target_keys));
    }
    if (!read_takers(source_rows) || !read_holders()) return 0;
    judge();
    return 1;
}

// The takers' keys from the rows to write, then their unique values from the source (a
// generated column is not among the rows' columns).
int UniqueMoves::read_takers(TunnelResult* source_rows) {
    Tunnel& tunnel = ctx_.source().tunnel();
    std::vector<int> key_at;
    for (const KeyColumn& key : ctx_.plan.keys) key_at.push_back(key.result_index);
    std::vector<std::pair<std::uint32_t, std::size_t>> wanted;  // row number, entry
    for (std::size_t i = 0; i < actions_.size(); ++i)
        if (actions_[i].action == RowActionCode::update_row || actions_[i].action == RowActionCode::insert_row)
            wanted.emplace_back(actions_[i].row, i);
    if (wanted.empty()) return 1;
    std::sort(wanted.begin(), wanted.end());
    StrBuf match;
    tunnel.data_seek(source_rows, 0);
    std::uint32_t number = 0;
    std::size_t next = 0;
    while (next < wanted.size()) {
        MYSQL_ROW row = tunnel.fetch_row(source_rows);
        if (!row) break;
        ++number;
        for (; next < wanted.size() && wanted[next].first == number; ++next) {
            const unsigned long* lengths = tunnel.fetch_lengths(source_rows);
            Taker taker;
            taker.entry = wanted[next].second;
            taker.update = actions_[taker.entry].action == RowActionCode::update_row;
            taker.key = key_text(row, lengths, key_at);
            StrBuf where;
            if (!append_row_identification(ctx_, where, row, lengths, true)) return 0;
            taker.where = where.str();
            match.append(takers_.empty() ? "(" : " OR (");
            if (!append_key_match(ctx_, ctx_.source(), match, row, lengths, true)) return 0;
            match.append(")");
            takers_.push_back(std::move(taker));
        }
    }
    std::string select = key_select(ctx_);
    for (const UniqueIndex& index : ctx_.plan.facts.unique_indexes)
        for (const std::string& name : index.columns) {
            const ColumnDefinition* column = find_column(ctx_.plan.columns, name);
            select += "," + (column ? read_value(*column) : backquoted(name));
        }
    const std::string statement = "SELECT " + select + " FROM " + ctx_.plan.table + " WHERE " + match.str();
    ResultPtr values = query_side(ctx_.source(), statement.c_str());
    if (!values) {
        ctx_.report_error(ctx_.source());
        return 0;
    }
    const std::vector<int> keys = first_fields(ctx_.plan.keys.size());
    while (MYSQL_ROW row = tunnel.fetch_row(values.get())) {
        const unsigned long* lengths = tunnel.fetch_lengths(values.get());
        const std::string key = key_text(row, lengths, keys);
        std::size_t at = ctx_.plan.keys.size();
        std::vector<std::optional<std::string>> tuples;
        for (const UniqueIndex& index : ctx_.plan.facts.unique_indexes) {
            StrBuf tuple;
            tuple.append("(");
            bool null = false;
            for (std::size_t c = 0; c < index.columns.size(); ++c, ++at) {
                const ColumnDefinition* column = find_column(ctx_.plan.columns, index.columns[c]);
                static const ColumnDefinition undescribed;
                if (!row[at]) null = true;
                if (c > 0) tuple.append(",");
                if (!append_literal(ctx_.target(), tuple, column ? *column : undescribed, row[at], lengths[at]))
                    return 0;
            }
            tuple.append(")");
            tuples.push_back(null ? std::nullopt : std::optional<std::string>(tuple.str()));
        }
        for (Taker& taker : takers_)
            if (taker.key == key) taker.values = tuples;
    }
    return 1;
}

// Which target rows hold each taker's new values now: one statement, each part tagged with
// its taker and index.
int UniqueMoves::read_holders() {
    const std::vector<UniqueIndex>& indexes = ctx_.plan.facts.unique_indexes;
    std::string statement;
    const std::string keys = key_select(ctx_);
    for (std::size_t t = 0; t < takers_.size(); ++t) {
        takers_[t].holders.assign(indexes.size(), {});
        for (std::size_t u = 0; u < indexes.size() && u < takers_[t].values.size(); ++u) {
            if (!takers_[t].values[u]) continue;
            std::string columns;
            for (const std::string& name : indexes[u].columns) columns += (columns.empty() ? "" : ",") + backquoted(name);
            if (!statement.empty()) statement += " UNION ALL ";
            statement += "SELECT " + std::to_string(t) + "," + std::to_string(u) + "," + keys + " FROM " +
                         ctx_.plan.table + " WHERE (" + columns + ") = " + *takers_[t].values[u];
        }
    }
    if (statement.empty()) return 1;
    SyncSide& target = ctx_.target();
    ResultPtr holders = query_side(target, statement.c_str());
    if (!holders) {
        ctx_.report_error(target);
        return 0;
    }
    const std::vector<int> key_at = first_fields(ctx_.plan.keys.size(), 2);
    while (MYSQL_ROW row = target.tunnel().fetch_row(holders.get())) {
        if (!row[0] || !row[1]) continue;
        const std::size_t t = std::strtoul(row[0], nullptr, 10), u = std::strtoul(row[1], nullptr, 10);
        if (t < takers_.size() && u < indexes.size())
            takers_[t].holders[u].push_back(key_text(row, target.tunnel().fetch_lengths(holders.get()), key_at));
    }
    return 1;
}

// A taker may take a value held by a row the chunk deletes (deletes come first), or by an
// update of the chunk that gives the value up (the update moves first, or both are
// staged). Any other holder keeps the value while the taker's statement runs.
void UniqueMoves::judge() {
    const std::vector<UniqueIndex>& indexes = ctx_.plan.facts.unique_indexes;
    const auto moving_update = [&](const std::string& key, std::size_t u) -> const Taker* {
        for (const Taker& other : takers_)
            if (other.update && other.key == key) {
                const auto& held = other.holders[u];
                const bool keeps = std::find(held.begin(), held.end(), other.key) != held.end();
                return keeps ? nullptr : &other;
            }
        return nullptr;
    };
    for (const Taker& taker : takers_) {
        for (std::size_t u = 0; u < taker.holders.size(); ++u) {
            for (const std::string& holder : taker.holders[u]) {
                if (holder == taker.key || deleted_.count(holder)) continue;
                const Taker* other = moving_update(holder, u);
                if (!other) {
                    if (conflict_.empty())
                        conflict_ = "the row" + taker.where + " takes values of the unique index `" + indexes[u].name +
                                    "` that another row of the target holds and keeps in this part of the table";
                    continue;
                }
                // A new row comes after every update; an update meets the other in place.
                if (!taker.update) continue;
                staged_.insert(taker.entry);
                if (swap_.empty()) swap_ = "`" + indexes[u].name + "` (the row" + taker.where + " among them)";
            }
        }
    }
}

void refuse(SyncContext& ctx, const std::string& text) {
    StrBuf message;
    message.format("Table %s: %s; the table was not synced.\r\n", ctx.plan.table_label.c_str(), text.c_str());
    ctx.report_table_failure(message.c_str());
    ++ctx.counts.failures;
}

std::vector<RowAction> with_action(std::span<const RowAction> actions, RowActionCode code,
                                   const std::set<std::size_t>& staged, bool want_staged) {
    std::vector<RowAction> chosen;
    for (std::size_t i = 0; i < actions.size(); ++i)
        if (actions[i].action == code && staged.count(i) == (want_staged ? 1u : 0u)) chosen.push_back(actions[i]);
    return chosen;
}

}  // namespace

int apply_chunk_changes(SyncContext& ctx, TunnelResult* target_rows, TunnelResult* source_rows,
                        std::span<const RowAction> actions) {
    UniqueMoves moves(ctx, actions);
    const bool writes = std::any_of(actions.begin(), actions.end(), [](const RowAction& a) {
        return a.action == RowActionCode::insert_row || a.action == RowActionCode::update_row;
    });
    if (writes && !ctx.plan.facts.unique_indexes.empty() && !moves.find(target_rows, source_rows)) return 0;
    // Nothing of the chunk is changed before the refusals: a swap refused after its rows
    // were deleted would lose them where the table cannot roll back.
    if (!moves.staged().empty()) {
        const std::string refusal = staging_refusal(ctx);
        if (!refusal.empty()) {
            refuse(ctx, "rows swap values of the target's unique index " + moves.swap() +
                            ", which needs them deleted and inserted again, but " + refusal +
                            "; the swap was refused before any row of it was changed");
            return 0;
        }
    }
    // The target answers a direct change itself; a script has no one to ask on replay.
    if (!ctx.writes_target() && !moves.conflict().empty()) {
        refuse(ctx, moves.conflict() + ": replayed, the script would stop there");
        return 0;
    }
    static const std::set<std::size_t> none;
    std::size_t used = 0;
    if (!apply_deletes(ctx, target_rows, actions, used)) return 0;
    const std::vector<RowAction> updates = with_action(actions, RowActionCode::update_row, moves.staged(), false);
    if (!apply_updates(ctx, source_rows, updates)) return 0;
    const std::vector<RowAction> staged = with_action(actions, RowActionCode::update_row, moves.staged(), true);
    if (!staged.empty() && (!remove_rows_to_update(ctx, source_rows, staged) ||
                            !insert_updated_rows(ctx, source_rows, staged)))
        return 0;
    const std::vector<RowAction> inserts = with_action(actions, RowActionCode::insert_row, none, false);
    return apply_inserts(ctx, source_rows, inserts, used);
}

}  // namespace kro::sync
