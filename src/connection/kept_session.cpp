#include "connection/kept_session.h"

#include "connection/statements.h"

namespace kro::connection {

ResultPtr KeptSession::send(std::string_view text) {
    if (execute(tunnel(), handle(), text.data(), static_cast<unsigned long>(text.size()), 0) != 0)
        return make_result(tunnel(), nullptr);
    return make_result(tunnel(), tunnel().store_result(handle(), 1, 0, 0));
}

ResultPtr KeptSession::query(std::string_view text, bool retry) {
    lost_changes = false;
    ResultPtr result = send(text);
    if (result || !statement_failed(tunnel(), handle()) || !retry || is_http() ||
        !connection_lost(tunnel().error_number(handle())))
        return result;
    if (uncommitted) {
        // Sending the statement again would hide that the changes before it are gone. The
        // next statement opens a new session.
        uncommitted = false;
        lost_changes = true;
        return result;
    }
    if (!reopen()) return make_result(tunnel(), nullptr);
    return send(text);
}

bool KeptSession::reopen() {
    return reconnect(tunnel(), handle(), info, database.c_str()) && set_up();
}

bool KeptSession::commit() {
    if (!autocommit_off || !uncommitted) return true;
    ResultPtr result = query("commit", false);
    if (!result && statement_failed(tunnel(), handle())) return false;
    uncommitted = false;
    return true;
}

}  // namespace kro::connection
