// Deciding a table's facts (TableFacts in sync_context.h) at its start, in the current
// direction, before its first change: can a failure be undone, how many changes travel to
// a round trip, which triggers and foreign keys a delete would reach, which unique indexes
// rows may swap values of.
#pragma once

#include "sync/sync_context.h"

namespace kro::sync {

// The names of the target's triggers on the current table into names ("a, b"; "" for
// none); false when they cannot be told.
bool target_trigger_names(SyncContext& ctx, std::string& names);

// Everything but the unique indexes, which need the key; warns of the target's triggers.
// Sets the target side's rule for sending a lost write again (KeptSession::writes_roll_back).
void decide_table_facts(SyncContext& ctx);

// The target's unique indexes besides plan.index_name, into plan.facts.unique_indexes.
// A failed look-up leaves none and says nothing: a swap then fails on the server as it is.
void find_unique_indexes(SyncContext& ctx);

// Why rows of the table may not be staged (deleted and inserted again) in the current
// mode; empty when they may. Staging needs a table that undoes a re-insert that fails, and
// must reach nothing beyond the rows it stages (DELETE triggers, referring tables).
std::string staging_refusal(const SyncContext& ctx);

}  // namespace kro::sync
