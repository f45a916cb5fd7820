#include "connection/statement_outcome.h"

#include "connection/statements.h"
#include "connection/tunnel.h"

namespace kro::connection {

namespace {

// ER_DUP_ENTRY: the row's value is taken in a unique key. Other refusals (a foreign key, a
// value the column cannot hold) are plain failures.
constexpr unsigned kDuplicateEntry = 1062;

}  // namespace

std::string duplicate_key_name(std::string_view text) {
    // The entry's value comes first and may hold anything: the key is after the last marker.
    constexpr std::string_view kMarker = " for key '";
    const std::size_t at = text.rfind(kMarker);
    if (at == std::string_view::npos) return {};
    std::string_view name = text.substr(at + kMarker.size());
    const std::size_t end = name.rfind('\'');
    return end == std::string_view::npos ? std::string() : std::string(name.substr(0, end));
}

StatementOutcome outcome_of(Tunnel& tunnel, MYSQL* handle, const ResultPtr& result) {
    if (!result && statement_failed(tunnel, handle)) return refusal_of(tunnel, handle);
    StatementOutcome outcome;
    outcome.kind = StatementOutcome::ok;
    outcome.affected_rows = tunnel.affected_rows(handle);
    return outcome;
}

StatementOutcome refusal_of(Tunnel& tunnel, MYSQL* handle) {
    StatementOutcome outcome;
    if (tunnel.error_number(handle) == kDuplicateEntry) {
        outcome.kind = StatementOutcome::duplicate_key;
        const char* error = tunnel.error(handle);
        outcome.key_name = duplicate_key_name(error ? error : "");
    }
    return outcome;
}

}  // namespace kro::connection
