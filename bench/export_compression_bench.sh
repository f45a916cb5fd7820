#!/usr/bin/env bash
# Times kro's export (bulk insert on) of a table of 1,000,000 rows of mixed types written
# plain, with <compression>zstd</compression> and with <compression>gzip</compression>, on
# the private MariaDB of scripts/services.sh, and reports the median wall times, the dump
# sizes and the ratios against the plain dump. The runs alternate (plain, zstd, gzip, plain,
# ...) so that a busy machine weighs on all of them alike. Each compressed dump is checked
# to unpack to the plain one's text.
#   bench/export_compression_bench.sh [rows] [rounds]   (default 1000000 rows, 5 rounds;
#                                        KRO_BUILD_DIR: the build folder, default build/;
#                                        KRO_BENCH_KEEP=1 keeps the database for the next run)
# Needs /usr/bin/time (Debian package "time"), zstd and gzip. Starts the services when they
# are not running and stops them again at the end in that case.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
rows=${1:-1000000}
rounds=${2:-5}

# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"

mixed_table kro_bench "$rows"

export_job_xml plain kro_bench
export_job_xml zstd kro_bench "<compression>zstd</compression>"
export_job_xml gzip kro_bench "<compression>gzip</compression>"
kinds=(plain zstd gzip)
declare -A file=([plain]=plain.sql [zstd]=zstd.sql.zst [gzip]=gzip.sql.gz)

for ((round = 1; round <= rounds; round++)); do
  for kind in "${kinds[@]}"; do
    echo "== round $round: $kind"
    (cd "$work" && /usr/bin/time -f '%e' -a -o "$work/$kind.times" "$build/kro" "$kind.xml" > "$work/$kind.out")
    grep -q "Export successful" "$work/$kind.out" || { echo "kro export failed:" >&2; cat "$work/$kind.out" >&2; exit 1; }
  done
done

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
plain_s=$(median "$work/plain.times")
plain_size=$(stat -c %s "$work/${file[plain]}")
echo
printf '%-8s %14s %14s %12s %12s\n' output "median wall (s)" "dump (bytes)" "time ratio" "byte ratio"
for kind in "${kinds[@]}"; do
  s=$(median "$work/$kind.times")
  size=$(stat -c %s "$work/${file[$kind]}")
  awk -v k="$kind" -v s="$s" -v size="$size" -v ps="$plain_s" -v psize="$plain_size" \
    'BEGIN { printf "%-8s %14.2f %14d %12.2f %12.3f\n", k, s, size, s / ps, size / psize }'
done

# The compressed dumps hold the plain one's text: only the completion line's time may differ.
plain_text() { grep -av '^-- Dump completed on ' "$@"; }
cmp -s <(plain_text "$work/plain.sql") <(zstd -dc "$work/zstd.sql.zst" | plain_text) ||
  { echo "the zstd dump does not unpack to the plain one" >&2; exit 1; }
cmp -s <(plain_text "$work/plain.sql") <(gunzip -c "$work/gzip.sql.gz" | plain_text) ||
  { echo "the gzip dump does not unpack to the plain one" >&2; exit 1; }
[ "${KRO_BENCH_KEEP:-0}" = 1 ] || "${client[@]}" -e "drop database kro_bench"
