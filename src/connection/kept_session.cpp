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
    // A session seen lost is replaced before anything is sent: a statement then reaches
    // the server once.
    if (lost_ && !is_http() && !reopen()) return make_result(tunnel(), nullptr);
    ResultPtr result = send(text);
    if (result || !statement_failed(tunnel(), handle()) || is_http() ||
        !connection_lost(tunnel().error_number(handle())))
        return result;
    lost_ = true;
    if (uncommitted) {
        // Sending the statement again would hide that the changes before it are gone.
        uncommitted = false;
        lost_changes = true;
        return result;
    }
    if (!retry || !reopen()) return result;
    return send(text);
}

bool KeptSession::reopen() {
    lost_ = false;  // the set-up's own statements run on the new session
    // The client library refuses to reconnect while it believes a transaction open; this
    // session is gone (or is being dropped), and its transaction with it.
    if (!is_http() && handle()) handle()->server_status &= ~SERVER_STATUS_IN_TRANS;
    return reconnect(tunnel(), handle(), info, database.c_str()) && set_up();
}

bool KeptSession::commit() {
    if (!autocommit_off || is_http()) return true;
    // Nothing waiting: a session lost since holds no locks, and a new one commits nothing.
    ResultPtr result = query("commit", !uncommitted);
    if (!result && statement_failed(tunnel(), handle())) return false;
    uncommitted = false;
    return true;
}

}  // namespace kro::connection
