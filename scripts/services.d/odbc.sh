# The import tests' ODBC set-up: a private odbcinst.ini and odbc.ini (ODBCSYSINI) that
# register the PostgreSQL and SQLite drivers and the MDB Tools driver, the last under the
# name Debian's odbc-mdbtools registers it with ("MDBTools"), as kro finds it for Access
# files; a system DSN for each server source and a file DSN for the SQLite one. The SQLite database file is created empty; the tests fill it.
# Sourced by scripts/services.sh; starts the PostgreSQL cluster first (its DSN needs the port).
#   ODBCSYSINI            the folder to point unixODBC at
#   ODBC_PG_DSN           system DSN of the PostgreSQL source
#   ODBC_SQLITE_DSN       system DSN of the SQLite source
#   ODBC_SQLITE_FILEDSN   file DSN of the same SQLite source
#   ODBC_SQLITE_DB        its database file

# The driver library's full path, wherever the distribution keeps it.
odbc_driver_path() {
  local found
  found=$(find /usr/lib /usr/local/lib -name "$1" 2>/dev/null | head -n 1)
  [ -n "$found" ] || { echo "ODBC driver $1 is not installed (scripts/deps.sh --test)" >&2; return 1; }
  echo "$found"
}

odbc_start() {
  local dir="$SERVICES_DIR/odbc" pg sqlite mdb
  postgres_start || return 1
  # shellcheck source=/dev/null
  source "$SERVICES_DIR/env.d/postgres"
  pg=$(odbc_driver_path psqlodbcw.so) || return 1
  sqlite=$(odbc_driver_path libsqlite3odbc.so) || return 1
  mdb=$(odbc_driver_path libmdbodbc.so) || return 1
  mkdir -p "$dir"
  [ -f "$dir/source.db" ] || sqlite3 "$dir/source.db" 'PRAGMA user_version = 1;'
  cat > "$dir/odbcinst.ini" <<INI
[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$pg

[SQLite3]
Description=SQLite3 ODBC driver
Driver=$sqlite

[MDBTools]
Description=MDB Tools ODBC driver
Driver=$mdb
INI
  cat > "$dir/odbc.ini" <<INI
[kro_pg]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$PG_PORT
Database=$PG_DATABASE
BoolsAsChar=0

[kro_sqlite]
Driver=SQLite3
Database=$dir/source.db
BigInt=1
INI
  cat > "$dir/sqlite.dsn" <<INI
[ODBC]
DRIVER=SQLite3
Database=$dir/source.db
BigInt=1
INI
  cat > "$SERVICES_DIR/env.d/odbc" <<ENV
ODBCSYSINI=$dir
ODBC_PG_DSN=kro_pg
ODBC_SQLITE_DSN=kro_sqlite
ODBC_SQLITE_FILEDSN=$dir/sqlite.dsn
ODBC_SQLITE_DB=$dir/source.db
ENV
}

odbc_stop() {
  rm -f "$SERVICES_DIR/env.d/odbc"
}
