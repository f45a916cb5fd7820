#!/usr/bin/env bash
# Times kro's export (bulk insert on) against mariadb-dump on a table of 1,000,000 rows of
# mixed types, on the private MariaDB of scripts/services.sh, and reports the ratio of wall
# times and the peak memory (maximum resident set) of both. Then times kro's chunked export
# (chunkinsert, pages of 1000 rows along the primary key) against its unpaged export.
#   bench/export_bench.sh [rows]        (KRO_BUILD_DIR: the build folder, default build/;
#                                        KRO_BENCH_KEEP=1 keeps the database for the next run)
# Needs /usr/bin/time (Debian package "time"). Starts the services when they are not
# running and stops them again at the end in that case.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
rows=${1:-1000000}


# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"

mixed_table kro_bench "$rows"

# job_xml FILE DUMP [OPTIONS]: the export job of kro_bench into DUMP, with bulk insert.
job_xml() {
  cat > "$1" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><exportjob>
  <source><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user>
    <pwd>$MARIADB_PASSWORD</pwd><compressed>0</compressed></source>
  <export><databases><database name="kro_bench"><objects all="yes"/></database></databases>
    <script>$2</script></export>
  <options><bulkinsert>yes</bulkinsert><bulksize>1000</bulksize>${3:-}</options>
</exportjob></job>
XML
}
job_xml "$work/job.xml" "$work/kro.sql"
job_xml "$work/chunked.xml" "$work/chunked.sql" "<chunkinsert>yes</chunkinsert><chunklimit>1000</chunklimit>"

echo "== kro export"
(cd "$work" && /usr/bin/time -f '%e %M' -o "$work/kro.time" "$build/kro" job.xml > "$work/kro.out")
read -r kro_s kro_kb < "$work/kro.time"
echo "== kro export, chunked (key pages of 1000 rows)"
(cd "$work" && /usr/bin/time -f '%e %M' -o "$work/chunked.time" "$build/kro" chunked.xml > "$work/chunked.out")
read -r chunked_s chunked_kb < "$work/chunked.time"
echo "== mariadb-dump"
/usr/bin/time -f '%e %M' -o "$work/md.time" mariadb-dump --skip-ssl -h "$MARIADB_HOST" -P "$MARIADB_PORT" \
  -u "$MARIADB_USER" kro_bench --result-file="$work/mariadb-dump.sql"
read -r md_s md_kb < "$work/md.time"

kro_size=$(stat -c %s "$work/kro.sql")
chunked_size=$(stat -c %s "$work/chunked.sql")
md_size=$(stat -c %s "$work/mariadb-dump.sql")
echo
printf '%-16s %10s %14s %14s\n' tool "wall (s)" "peak RSS (KB)" "dump (bytes)"
printf '%-16s %10s %14s %14s\n' kro "$kro_s" "$kro_kb" "$kro_size"
printf '%-16s %10s %14s %14s\n' "kro, chunked" "$chunked_s" "$chunked_kb" "$chunked_size"
printf '%-16s %10s %14s %14s\n' mariadb-dump "$md_s" "$md_kb" "$md_size"
awk -v a="$kro_s" -v b="$md_s" 'BEGIN { if (b > 0) printf "wall-time ratio kro / mariadb-dump: %.2f\n", a / b }'
awk -v a="$chunked_s" -v b="$kro_s" 'BEGIN { if (b > 0) printf "wall-time ratio chunked / unpaged kro: %.2f\n", a / b }'
for out in kro chunked; do
  grep -q "Export successful" "$work/$out.out" || { echo "kro export failed:" >&2; cat "$work/$out.out" >&2; exit 1; }
done
# Both dumps hold the same statements: only the completion line's time may differ.
cmp -s <(grep -av '^-- Dump completed on ' "$work/kro.sql") <(grep -av '^-- Dump completed on ' "$work/chunked.sql") ||
  { echo "the chunked dump differs from the unpaged one" >&2; exit 1; }
[ "${KRO_BENCH_KEEP:-0}" = 1 ] || "${client[@]}" -e "drop database kro_bench"
