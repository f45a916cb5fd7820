// KeptSession: a job's session on one server that outlives a lost connection when that
// loses no work. A statement that finds the session gone opens a new one, has the job set
// it up again (set_up) and is sent once more (a write only where the server rolled it
// back, see write); but when the session held changes not yet
// committed, the server rolled them back with it: the statement is not sent again, it
// fails, and lost_changes tells the caller that the changes since the last commit are gone.
// The job owns the object; it belongs to one thread at a time.
#pragma once

#include <string>
#include <string_view>

#include <mysql.h>

#include "connection/connect.h"
#include "connection/result_ptr.h"

namespace kro::connection {

struct ConnectionInfo;

struct KeptSession {
    ServerConnection* conn = nullptr;
    ConnectionInfo* info = nullptr;  // for the reconnect (the SSH tunnel is restarted too)
    std::string database;            // selected again on a new session
    bool autocommit_off = false;     // "set autocommit = 0" was sent
    bool uncommitted = false;        // rows were changed since the last commit
    bool lost_changes = false;       // a lost session took changes that were not committed yet
    // The server undoes a write that a lost connection broke off: the table's engine rolls
    // back and the session runs in a transaction. Set by the job for the table it writes.
    bool writes_roll_back = false;

    KeptSession() = default;
    KeptSession(const KeptSession&) = delete;
    KeptSession& operator=(const KeptSession&) = delete;
    virtual ~KeptSession() = default;

    Tunnel& tunnel() const { return *conn->tunnel; }
    MYSQL*& handle() const { return conn->handle; }
    bool is_http() const { return conn->tunnel->is_http(); }

    // Sends the statement and stores its result, keeping the session as said above (retry
    // false: the statement is not sent again; the next one opens the new session). Null when the statement failed or had
    // no result; tell them apart with statement_failed(). The HTTP form keeps no session
    // and is not retried.
    ResultPtr query(std::string_view text, bool retry = true);
    // query() for a statement that changes rows: after a lost connection it is sent again
    // only when the server rolled it back (writes_roll_back). Elsewhere it may have taken
    // effect before the connection broke, and a second one would change the rows twice.
    ResultPtr write(std::string_view text) { return query(text, writes_roll_back && autocommit_off); }
    // A new session on the connection, set up by the job; false when either failed.
    bool reopen();
    // A statement that changed rows succeeded: with autocommit off they wait for a commit.
    void changed() {
        if (autocommit_off) uncommitted = true;
    }
    // "commit" whenever a transaction may be open, changed or not: it also ends the row
    // locks its reads took. False when refused (the error is in the handle).
    bool commit();

protected:
    // The job's own settings on a new session (character set, SQL mode, autocommit, ...).
    virtual bool set_up() = 0;

private:
    ResultPtr send(std::string_view text);

    bool lost_ = false;  // the connection was seen lost and not yet replaced
};

}  // namespace kro::connection
