# A private PostgreSQL cluster, the import tests' ODBC source: initdb into a folder of its
# own and pg_ctl on a free port of 127.0.0.1 plus a socket folder of its own, never the
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

# The cluster's own folder. Run as root, the cluster belongs to the postgres account, which
# may not be able to enter the services folder (a 0700 folder of root's, say): it then lives
# in a folder of postgres's own (0700, under its home), whose path is kept in the services
# folder. Otherwise it lives in the services folder itself.
pg_cluster_dir() {
  local link="$SERVICES_DIR/postgres/cluster" home
  if [ "$(id -u)" -ne 0 ]; then
    echo "$SERVICES_DIR/postgres"
  elif [ -f "$link" ]; then
    cat "$link"
  elif [ "${1:-}" = make ]; then
    home=$(getent passwd postgres | cut -d: -f6)
    [ -d "$home" ] || home=/var/tmp
    pg_as_owner mktemp -d "$home/kro-cluster.XXXXXX" > "$link.tmp" && mv "$link.tmp" "$link" && cat "$link"
  else
    return 1
  fi
}

postgres_start() {
  local dir bin port
  if [ -f "$SERVICES_DIR/postgres/port" ] && [ -f "$SERVICES_DIR/env.d/postgres" ] &&
     dir=$(pg_cluster_dir) && pg_as_owner "$(pg_bin)/pg_ctl" status -D "$dir/data" >/dev/null 2>&1; then
    return 0
  fi
  postgres_stop >/dev/null 2>&1 || true
  bin=$(pg_bin)
  [ -n "$bin" ] || { echo "PostgreSQL is not installed (scripts/deps.sh --test)" >&2; return 1; }
  rm -rf "$SERVICES_DIR/postgres"
  mkdir -p "$SERVICES_DIR/postgres"
  dir=$(pg_cluster_dir make) || { echo "postgres: could not make the cluster's folder" >&2; return 1; }
  pg_as_owner mkdir -p "$dir/sock"
  # The password file is the owner's alone (umask 077) and removed after initdb.
  (umask 077 && printf '%s\n' "$pg_password" | pg_as_owner sh -c 'umask 077 && cat > "$1"' sh "$dir/pwfile")
  pg_as_owner "$bin/initdb" -D "$dir/data" -U "$pg_user" --pwfile="$dir/pwfile" -E UTF8 \
    --locale=C --auth=scram-sha-256 > "$SERVICES_DIR/postgres/initdb.log" 2>&1 ||
    { pg_as_owner rm -f "$dir/pwfile"; cat "$SERVICES_DIR/postgres/initdb.log" >&2; return 1; }
  pg_as_owner rm -f "$dir/pwfile"
  port=$(free_port)
  echo "$port" > "$SERVICES_DIR/postgres/port"
  # pg_ctl hands -o to a shell: the socket folder is quoted for a path with blanks.
  pg_as_owner "$bin/pg_ctl" start -w -t 60 -D "$dir/data" -l "$dir/server.log" \
    -o "-p $port -k '$dir/sock' -c listen_addresses=127.0.0.1 -c fsync=off" > "$SERVICES_DIR/postgres/pg_ctl.log" 2>&1 ||
    { cat "$SERVICES_DIR/postgres/pg_ctl.log" >&2; pg_as_owner cat "$dir/server.log" >&2; return 1; }
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

# Stops the cluster; a cluster folder of postgres's own is removed with it.
postgres_stop() {
  local dir bin
  rm -f "$SERVICES_DIR/env.d/postgres"
  dir=$(pg_cluster_dir) || return 0
  bin=$(pg_bin)
  if [ -d "$dir/data" ] && [ -n "$bin" ]; then
    pg_as_owner "$bin/pg_ctl" stop -w -t 30 -m fast -D "$dir/data" >/dev/null 2>&1 || true
  fi
  if [ "$dir" != "$SERVICES_DIR/postgres" ]; then
    pg_as_owner rm -rf "$dir"
    rm -f "$SERVICES_DIR/postgres/cluster"
  fi
}
