#!/usr/bin/env bash
# Times kro's export (bulk insert on) against mariadb-dump on a table of 1,000,000 rows of
# mixed types, on the private MariaDB of scripts/services.sh, and reports the ratio of wall
# times and the peak memory (maximum resident set) of both: the plain export, the chunked one
# (chunkinsert, chunklimit 1000) and the chunked one of the same rows in a table without a
# key (mixed_nokey, against mariadb-dump of that table). The chunked dumps must be the
# unchunked ones byte for byte.
#   bench/export_bench.sh [rows]        (KRO_BUILD_DIR: the build folder, default build/;
#                                        KRO_BENCH_KEEP=1 keeps the database for the next run)
# Needs /usr/bin/time (Debian package "time"). Starts the services when they are not
# running and stops them again at the end in that case. One run of each: on a busy machine
# time the commands in turn several times and take the medians.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
rows=${1:-1000000}


# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"

mixed_table kro_bench "$rows"
have=$("${client[@]}" -N -e "select count(*) from kro_bench_nokey.mixed" 2>/dev/null || echo 0)
if [ "$have" != "$rows" ]; then
  echo "== creating kro_bench_nokey.mixed, the same rows without a key"
  "${client[@]}" <<SQL
drop database if exists kro_bench_nokey;
create database kro_bench_nokey character set utf8mb4;
create table kro_bench_nokey.mixed like kro_bench.mixed;
alter table kro_bench_nokey.mixed drop primary key;
insert into kro_bench_nokey.mixed select * from kro_bench.mixed;
SQL
fi

chunking="<chunkinsert>yes</chunkinsert><chunklimit>1000</chunklimit>"
export_job_xml kro kro_bench
export_job_xml chunked kro_bench "$chunking"
export_job_xml nokey kro_bench_nokey
export_job_xml nokey_chunked kro_bench_nokey "$chunking"

# timed NAME COMMAND...: runs the command, keeps "wall peak" in NAME.time.
timed() {
  local name=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/$name.time" "$@"
}
for name in kro chunked nokey nokey_chunked; do
  echo "== kro export: $name"
  (cd "$work" && timed "$name" "$build/kro" "$name.xml" > "$work/$name.out")
  grep -q "Export successful" "$work/$name.out" || { echo "kro export failed:" >&2; cat "$work/$name.out" >&2; exit 1; }
done
for db in kro_bench kro_bench_nokey; do
  echo "== mariadb-dump $db"
  timed "md_$db" mariadb-dump --skip-ssl -h "$MARIADB_HOST" -P "$MARIADB_PORT" -u "$MARIADB_USER" "$db" \
    --result-file="$work/md_$db.sql"
done

echo
printf '%-22s %10s %14s %14s\n' export "wall (s)" "peak RSS (KB)" "dump (bytes)"
for name in kro chunked md_kro_bench nokey nokey_chunked md_kro_bench_nokey; do
  read -r seconds kb < "$work/$name.time"
  printf '%-22s %10s %14s %14s\n' "$name" "$seconds" "$kb" "$(stat -c %s "$work/$name.sql")"
done
ratio() {  # ratio A B: wall time of A / wall time of B
  local a b
  read -r a _ < "$work/$1.time"
  read -r b _ < "$work/$2.time"
  awk -v a="$a" -v b="$b" -v t="$1 / $2" 'BEGIN { if (b > 0) printf "wall-time ratio %s: %.2f\n", t, a / b }'
}
ratio kro md_kro_bench
ratio chunked md_kro_bench
ratio nokey_chunked md_kro_bench_nokey
# The chunked dumps hold the same statements as the unchunked ones: only the completion
# line's time may differ.
for pair in "kro chunked" "nokey nokey_chunked"; do
  set -- $pair
  cmp -s <(grep -av '^-- Dump completed on ' "$work/$1.sql") <(grep -av '^-- Dump completed on ' "$work/$2.sql") ||
    { echo "the dump $2 differs from $1" >&2; exit 1; }
done
[ "${KRO_BENCH_KEEP:-0}" = 1 ] || "${client[@]}" -e "drop database kro_bench; drop database kro_bench_nokey"
