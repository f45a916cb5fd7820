#!/usr/bin/env bash
# Times kro's export of a table of mixed types (100,000 rows by default) through the HTTP
# tunnel (the script under nginx with PHP-FPM) against a direct connection, both through
# bench/latency_proxy at each delay given (default 0 and 10 ms each way): the link between
# kro and the web server, or kro and the MySQL server, is the slow one; the script reaches
# its server on loopback, as on a host. Runs alternate, medians are reported, and the two
# dumps must be byte-identical.
#   bench/http_tunnel_latency.sh [rows] [runs] [delay ms ...]
#   (KRO_BUILD_DIR: the build folder, default build/)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
rows=${1:-100000}
runs=${2:-5}
shift $(($# < 2 ? $# : 2))
delays=("$@")
[ ${#delays[@]} -gt 0 ] || delays=(0 10)

# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"
cmake --build "$build" -j2 --target latency_proxy >/dev/null && proxy_bin="$build/bench/latency_proxy"
[ -n "${FPM_TUNNEL_URL:-}" ] || { echo "the webfpm service is not running" >&2; exit 1; }
fpm_port=$(sed 's|^http://127.0.0.1:\([0-9]*\)/.*|\1|' <<< "$FPM_TUNNEL_URL")
fpm_path=$(sed 's|^http://127.0.0.1:[0-9]*||' <<< "$FPM_TUNNEL_URL")

mixed_table kro_bench_tunnel "$rows"

proxies=()
bench_cleanup_extra() { for p in "${proxies[@]}"; do kill "$p" 2>/dev/null || true; done; }

# job_xml FILE DUMP PORT [TUNNELINFO]
job_xml() {
  cat > "$1" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><exportjob>
  <source><host>$MARIADB_HOST</host><port>$3</port><user>$MARIADB_USER</user>
    <pwd>$MARIADB_PASSWORD</pwd><compressed>0</compressed>${4:-}</source>
  <export><databases><database name="kro_bench_tunnel"><objects all="yes"/></database></databases>
    <script>$2</script></export>
  <options><bulkinsert>yes</bulkinsert></options>
</exportjob></job>
XML
}

# Milliseconds kro takes for job $1 (fails the bench when the job fails).
timed() {
  local t0 t1
  t0=$(date +%s%N)
  (cd "$work" && "$build/kro" "$1" -lkro.log -ssession.xml > "$work/out.txt") ||
    { echo "kro failed on $1:" >&2; cat "$work/out.txt" >&2; exit 1; }
  t1=$(date +%s%N)
  echo $(((t1 - t0) / 1000000))
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-10s %14s %14s %8s\n' "delay" "direct (ms)" "tunnel (ms)" "ratio"
for delay in "${delays[@]}"; do
  db_proxy=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  web_proxy=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  "$proxy_bin" "$db_proxy" "$MARIADB_PORT" "$delay" & proxies+=($!)
  "$proxy_bin" "$web_proxy" "$fpm_port" "$delay" & proxies+=($!)
  sleep 0.3
  job_xml "$work/direct.xml" "$work/direct.sql" "$db_proxy"
  job_xml "$work/tunnel.xml" "$work/tunnel.sql" "$MARIADB_PORT" \
    "<tunnelinfo type=\"http\"><url>http://127.0.0.1:$web_proxy$fpm_path</url><timeout>120</timeout></tunnelinfo>"
  direct=() tunnel=()
  for ((i = 0; i < runs; i++)); do
    direct+=("$(timed direct.xml)")
    tunnel+=("$(timed tunnel.xml)")
  done
  d=$(median "${direct[@]}")
  t=$(median "${tunnel[@]}")
  printf '%-10s %14s %14s %8s\n' "${delay} ms" "$d" "$t" "$(awk -v a="$t" -v b="$d" 'BEGIN { printf "%.2f", a / b }')"
  cmp -s <(grep -av '^-- Dump completed on ' "$work/direct.sql") <(grep -av '^-- Dump completed on ' "$work/tunnel.sql") ||
    { echo "the tunnelled dump differs from the direct one" >&2; exit 1; }
  bench_cleanup_extra
  proxies=()
done
echo "dumps byte-identical"
