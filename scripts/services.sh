#!/usr/bin/env bash
# Starts or stops the private test servers on 127.0.0.1.
#   scripts/services.sh start|stop [services-dir] [service ...]
# Without service names every service in scripts/services.d/ is started (or stopped); with
# names only those (start also starts what they need: odbc starts postgres, web needs mariadb
# first). The folder may be anywhere, a 0700 folder of root's or a path with blanks.
# Each service is a script in scripts/services.d/ with the functions <name>_start and
# <name>_stop; a service writes its settings as KEY=VALUE lines to "$SERVICES_DIR/env.d/<name>",
# and start joins them into "$SERVICES_DIR/env", the file the tests read.
# Start is idempotent: a service that already runs is left alone.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
action=${1:-}
SERVICES_DIR=${2:-${KRO_SERVICES_DIR:-$here/../build/services}}
shift $(($# < 2 ? $# : 2))
mkdir -p "$SERVICES_DIR/env.d"
SERVICES_DIR=$(cd "$SERVICES_DIR" && pwd)
export SERVICES_DIR

# A free TCP port on 127.0.0.1 (asked of the kernel).
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# Waits up to $2 seconds until something listens on 127.0.0.1:$1.
wait_for_port() {
  local port=$1 seconds=${2:-30} i
  for ((i = 0; i < seconds * 10; i++)); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Waits for each port after the first three words: SERVICE LOGS STOP. When one stays
# silent it says so, naming where the logs are, runs STOP and fails.
wait_for_ports() {
  local service=$1 logs=$2 stop=$3 p
  shift 3
  for p in "$@"; do
    if ! wait_for_port "$p" 20; then
      echo "$service: nothing listens on port $p; logs in $logs" >&2
      "$stop" >/dev/null 2>&1 || true
      return 1
    fi
  done
}

# Whether the services env file $1 (under env.d) is there and every process whose pid is
# in folder $2's files NAME.pid (the names after it) runs (a zombie does not count).
pidfiles_alive() {
  local env=$1 dir=$2 f pid
  shift 2
  [ -f "$SERVICES_DIR/env.d/$env" ] || return 1
  for f in "$@"; do
    [ -f "$dir/$f.pid" ] || return 1
    pid=$(cat "$dir/$f.pid")
    kill -0 "$pid" 2>/dev/null || return 1
    [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" != Z ] || return 1
  done
}

# Stops the process whose pid is in file $1 (and its process group when $2 is "group").
stop_pidfile() {
  local file=$1 mode=${2:-} pid i
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  if [ -n "$pid" ]; then
    if [ "$mode" = group ]; then kill -TERM -- "-$pid" 2>/dev/null || true; else kill -TERM "$pid" 2>/dev/null || true; fi
    for ((i = 0; i < 100; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      # A zombie counts as alive for kill -0; look at its state instead.
      [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" = Z ] && break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
      if [ "$mode" = group ]; then kill -KILL -- "-$pid" 2>/dev/null || true; else kill -KILL "$pid" 2>/dev/null || true; fi
    fi
  fi
  rm -f "$file"
}

services=()
for f in "$here"/services.d/*.sh; do
  [ -e "$f" ] || continue
  # shellcheck source=/dev/null
  source "$f"
  services+=("$(basename "$f" .sh)")
done
if [ $# -gt 0 ]; then
  for s in "$@"; do
    [[ " ${services[*]} " == *" $s "* ]] || { echo "services.sh: no service named '$s' (scripts/services.d/)" >&2; exit 2; }
  done
  services=("$@")
fi

case "$action" in
  start)
    for s in "${services[@]}"; do
      "${s}_start"
    done
    cat "$SERVICES_DIR"/env.d/* > "$SERVICES_DIR/env.tmp" 2>/dev/null || : > "$SERVICES_DIR/env.tmp"
    mv "$SERVICES_DIR/env.tmp" "$SERVICES_DIR/env"
    echo "services running; settings in $SERVICES_DIR/env"
    ;;
  stop)
    status=0
    for ((i = ${#services[@]} - 1; i >= 0; i--)); do
      "${services[i]}_stop" || status=1
    done
    rm -f "$SERVICES_DIR/env"
    exit $status
    ;;
  *)
    echo "usage: $0 start|stop [services-dir] [service ...]" >&2
    exit 2
    ;;
esac
