# A private PostgreSQL cluster, the import tests' ODBC source: initdb into the services
# folder and pg_ctl on a free port of 127.0.0.1 plus a socket folder of its own, never the
# system's service. Run as the postgres account when started by root (PostgreSQL refuses
# root). Sourced by scripts/services.sh.
#   PG_HOST PG_PORT PG_SOCKET_DIR   where it listens
#   PG_USER PG_PASSWORD PG_DATABASE the test user (password login) and its database

pg_user=kro
pg_password='kro-Pg_pw1'
pg_database=kro_source

pg_bin() {
  local d
  for d in /usr/lib/postgresql/*/bin; do [ -x "$d/pg_ctl" ] && echo "$d"; done | sort -V | tail -n 1
}

# Runs a command as the cluster's owner.
pg_as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    su postgres -s /bin/sh -c "$(printf '%q ' "$@")"
  else
    "$@"
  fi
}

postgres_start() {
  local dir="$SERVICES_DIR/postgres" bin port
  if [ -f "$dir/port" ] && [ -f "$SERVICES_DIR/env.d/postgres" ] &&
     pg_as_owner "$(pg_bin)/pg_ctl" status -D "$dir/data" >/dev/null 2>&1; then
    return 0
  fi
  postgres_stop >/dev/null 2>&1 || true
  bin=$(pg_bin)
  [ -n "$bin" ] || { echo "PostgreSQL is not installed (scripts/deps.sh --test)" >&2; return 1; }
  rm -rf "$dir"
  mkdir -p "$dir/sock"
  [ "$(id -u)" -eq 0 ] && chown -R postgres: "$dir"
  printf '%s\n' "$pg_password" > "$dir/pwfile.tmp" && mv "$dir/pwfile.tmp" "$dir/pwfile"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/pwfile"
  pg_as_owner "$bin/initdb" -D "$dir/data" -U "$pg_user" --pwfile="$dir/pwfile" -E UTF8 \
    --locale=C --auth=scram-sha-256 > "$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; return 1; }
  rm -f "$dir/pwfile"
  port=$(free_port)
  echo "$port" > "$dir/port"
  pg_as_owner "$bin/pg_ctl" start -w -t 60 -D "$dir/data" -l "$dir/server.log" \
    -o "-p $port -k $dir/sock -c listen_addresses=127.0.0.1 -c fsync=off" > "$dir/pg_ctl.log" 2>&1 ||
    { cat "$dir/pg_ctl.log" "$dir/server.log" >&2; return 1; }
  PGPASSWORD=$pg_password psql -X -q -h 127.0.0.1 -p "$port" -U "$pg_user" -d postgres \
    -c "CREATE DATABASE $pg_database" >/dev/null || return 1
  cat > "$SERVICES_DIR/env.d/postgres" <<ENV
PG_HOST=127.0.0.1
PG_PORT=$port
PG_SOCKET_DIR=$dir/sock
PG_USER=$pg_user
PG_PASSWORD=$pg_password
PG_DATABASE=$pg_database
ENV
}

postgres_stop() {
  local dir="$SERVICES_DIR/postgres" bin
  rm -f "$SERVICES_DIR/env.d/postgres"
  [ -d "$dir/data" ] || return 0
  bin=$(pg_bin)
  [ -n "$bin" ] && pg_as_owner "$bin/pg_ctl" stop -w -t 30 -m fast -D "$dir/data" >/dev/null 2>&1 || true
}
