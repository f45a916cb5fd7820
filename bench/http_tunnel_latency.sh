#!/usr/bin/env bash
# Times kro's export of a table of mixed types (100,000 rows by default) through the HTTP
# tunnel (the script under nginx with PHP-FPM) against a direct connection, both through
# bench/latency_proxy at each link given: a delay in ms each way, optionally with a rate in
# Mbit/s each way after a slash (default links: 0, 10 and 10/50). The link between kro and
# the web server, or kro and the MySQL server, is the slow one; the script reaches its
# server on loopback, as on a host. A copy of the script that never compresses its answers
# is timed too ("plain"), and the bytes the tunnel's answers took on the link per run are
# shown ("wire MB"). Runs alternate, medians are reported, and all dumps must be
# byte-identical.
#   bench/http_tunnel_latency.sh [rows] [runs] [delay ms[/Mbit/s] ...]
#   (KRO_BUILD_DIR: the build folder, default build/)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
rows=${1:-100000}
runs=${2:-5}
shift $(($# < 2 ? $# : 2))
links=("$@")
[ ${#links[@]} -gt 0 ] || links=(0 10 10/50)

# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"
cmake --build "$build" -j2 --target latency_proxy >/dev/null && proxy_bin="$build/bench/latency_proxy"
[ -n "${FPM_TUNNEL_URL:-}" ] || { echo "the webfpm service is not running" >&2; exit 1; }
fpm_port=$(sed 's|^http://127.0.0.1:\([0-9]*\)/.*|\1|' <<< "$FPM_TUNNEL_URL")
fpm_path=$(sed 's|^http://127.0.0.1:[0-9]*||' <<< "$FPM_TUNNEL_URL")

mixed_table kro_bench_tunnel "$rows"

# The copy that never compresses, beside the script so that it keeps the same settings.
plain_dir="bench-plain-$$"
mkdir -p "$HTTP_DOCROOT/$plain_dir"
sed "s/ini_set('zlib.output_compression', '1');/ini_set('zlib.output_compression', '0');/" \
  "$HTTP_DOCROOT/VelmarTunnel.php" > "$HTTP_DOCROOT/$plain_dir/VelmarTunnel.php"
cp "$HTTP_DOCROOT/tunnel-config.php" "$HTTP_DOCROOT/$plain_dir/"
grep -q "output_compression', '0'" "$HTTP_DOCROOT/$plain_dir/VelmarTunnel.php" ||
  { echo "could not switch the script's compression off" >&2; exit 1; }

proxies=()
stop_proxies() {
  local pid
  for pid in "${proxies[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait "${proxies[@]}" 2>/dev/null || true
  proxies=()
}
bench_cleanup_extra() {
  stop_proxies
  rm -rf "${HTTP_DOCROOT:?}/$plain_dir"
}

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

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# The bytes the proxy whose log is $1 carried towards the client, in MB per run.
wire_mb() { awk -v runs="$runs" '/^bytes up/ { n += $5 } END { printf "%.1f", n / 1e6 / runs }' "$1"; }
same_dump() { cmp -s <(grep -av '^-- Dump completed on ' "$1") <(grep -av '^-- Dump completed on ' "$2"); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

printf '%-12s %11s %11s %7s %11s %7s %9s %9s\n' "link" "direct (ms)" "tunnel (ms)" "ratio" \
  "plain (ms)" "ratio" "wire MB" "plain MB"
for link in "${links[@]}"; do
  delay=${link%%/*}
  rate=()
  [ "$link" = "$delay" ] || rate=($((${link#*/} * 1000000 / 8)))
  db_proxy=$(free_port) web_proxy=$(free_port) plain_proxy=$(free_port)
  "$proxy_bin" "$db_proxy" "$MARIADB_PORT" "$delay" "${rate[@]}" 2>/dev/null & proxies+=($!)
  "$proxy_bin" "$web_proxy" "$fpm_port" "$delay" "${rate[@]}" 2>"$work/web.log" & proxies+=($!)
  "$proxy_bin" "$plain_proxy" "$fpm_port" "$delay" "${rate[@]}" 2>"$work/plain.log" & proxies+=($!)
  sleep 0.3
  job_xml "$work/direct.xml" "$work/direct.sql" "$db_proxy"
  tunnel_xml() {
    job_xml "$work/$1.xml" "$work/$1.sql" "$MARIADB_PORT" \
      "<tunnelinfo type=\"http\"><url>$2</url><timeout>120</timeout></tunnelinfo>"
  }
  tunnel_xml tunnel "http://127.0.0.1:$web_proxy$fpm_path"
  tunnel_xml plain "http://127.0.0.1:$plain_proxy${fpm_path%/*}/$plain_dir/${fpm_path##*/}"
  direct=() tunnel=() plain=()
  for ((i = 0; i < runs; i++)); do
    direct+=("$(timed direct.xml)")
    tunnel+=("$(timed tunnel.xml)")
    plain+=("$(timed plain.xml)")
  done
  d=$(median "${direct[@]}") t=$(median "${tunnel[@]}") p=$(median "${plain[@]}")
  label="${delay} ms"
  [ ${#rate[@]} -eq 0 ] || label="$label ${link#*/}M"
  stop_proxies
  printf '%-12s %11s %11s %7s %11s %7s %9s %9s\n' "$label" "$d" "$t" "$(ratio "$t" "$d")" "$p" "$(ratio "$p" "$d")" \
    "$(wire_mb "$work/web.log")" "$(wire_mb "$work/plain.log")"
  same_dump "$work/direct.sql" "$work/tunnel.sql" && same_dump "$work/direct.sql" "$work/plain.sql" ||
    { echo "a tunnelled dump differs from the direct one" >&2; exit 1; }
done
echo "dumps byte-identical"
