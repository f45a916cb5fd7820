// Running statements through a Tunnel. A failed statement leaves its error number and text
// in the handle; the caller reports it. A statement without rows gives no result and an
// affected-rows value that is not all ones, which is how callers tell it from a failure.
#pragma once

#include <mysql.h>

#include "connection/result_ptr.h"

namespace kro::connection {

struct ConnectionInfo;
class Tunnel;

// Sends one statement: as it is to servers from 4.1 on, else converted to the locale's
// character set. 0 on success.
int execute(Tunnel& tunnel, MYSQL* handle, const char* text, unsigned long length, int batch);

// Sends the statement and stores its result. With retry 0 the failure is returned as it
// is. With retry 1, a direct connection that was lost (errors 2002, 2003, 2006, 2013) is
// reconnected once (see reconnect) and the statement sent again: the new session has the
// connection's options and the database given, nothing else. That is safe only for a
// statement that neither needs nor changes anything of the session (a server variable
// read, a first statement) and a caller that keeps nothing in it; a job that keeps
// settings, a transaction or uncommitted rows in its session goes through KeptSession,
// which sets a new session up again and never re-sends over lost changes.
ResultPtr query_with_reconnect(Tunnel& tunnel, MYSQL*& handle, const char* text, int retry,
                               int batch = 0, int store_argument = 0,
                               ConnectionInfo* info = nullptr, const char* database = nullptr);

// Sends the statement and gives its rows unbuffered (read them all before the next statement).
ResultPtr query_result(Tunnel& tunnel, MYSQL* handle, const char* text);

// True for the error numbers that mean the session is gone (2002, 2003, 2006, 2013).
bool connection_lost(unsigned int error_number);

// True when the last statement on the handle failed (affected rows all ones).
bool statement_failed(Tunnel& tunnel, MYSQL* handle);

// False when a direct connection's session is gone (killed, timed out, network lost); the
// HTTP form keeps no session between requests and always gives true.
bool session_alive(Tunnel& tunnel, MYSQL* handle);

}  // namespace kro::connection
