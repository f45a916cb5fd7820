#!/usr/bin/env bash
# Times kro's sync against pt-table-sync (Debian package percona-toolkit, installed here
# when missing) on a table of 1,000,000 rows of mixed types, on the private MariaDB of
# scripts/services.sh: once with both sides identical, once with 1 % and once with 10 % of
# the rows changed (updates, inserts and deletes in equal parts). pt-table-sync runs with its
# default row digest and with --function MD5: its default CRC32, folded with BIT_XOR, misses
# rows whose equal-length values are swapped between them. Each tool must leave the tables
# equal (CHECKSUM TABLE); the script fails otherwise. Reports wall times, kro's time against
# each of pt-table-sync's and kro's peak memory (maximum resident set, the highest of its
# runs). Each tool runs RUNS times per state (default 3), alternating, and the median run
# counts: on a shared machine one run can be off by a quarter.
#   bench/sync_compare_bench.sh [rows]  (KRO_BUILD_DIR: the build folder, default build/;
#   STATES: some of "identical changed1 changed10", default all three)
# Needs /usr/bin/time. Starts the services when they are not running and stops them again
# at the end in that case.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
rows=${1:-1000000}
runs=${RUNS:-3}


if ! command -v pt-table-sync >/dev/null; then
  echo "== installing percona-toolkit"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q percona-toolkit >/dev/null
fi

# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"

mixed_table kro_sync_src "$rows"

# A target equal to the source, then (with "changed1" or "changed10") 1 % or 10 % of its
# rows changed: a third updated, a third deleted (the sync inserts them), a third added
# (the sync deletes them).
prepare_target() {
  local changed=$1 every
  case $changed in changed1) every=300 ;; changed10) every=30 ;; *) every=0 ;; esac
  "${client[@]}" <<SQL
drop database if exists kro_sync_tgt;
create database kro_sync_tgt character set utf8mb4;
create table kro_sync_tgt.mixed like kro_sync_src.mixed;
insert into kro_sync_tgt.mixed select * from kro_sync_src.mixed;
SQL
  if [ "$every" -gt 0 ]; then
    local part=$((rows / every))
    "${client[@]}" kro_sync_tgt <<SQL
update mixed set name = concat(name, '*'), maybe = null where id % $every = 1;
delete from mixed where id % $every = 2;
set session max_recursive_iterations = 4294967295;
insert into mixed (id, qty, price, ratio, name, note, created, code, flag, maybe)
  with recursive s(n) as (select 1 union all select n + 1 from s where n < $part)
  select $rows + n, n, 1.5, 0.5, 'extra', 'extra row', '2021-01-01', unhex(md5(n)), 1, n from s;
SQL
  fi
}

expect_equal() {
  local a b
  a=$("${client[@]}" -N -e "checksum table kro_sync_src.mixed" | cut -f2)
  b=$("${client[@]}" -N -e "checksum table kro_sync_tgt.mixed" | cut -f2)
  if [ "$a" != "$b" ]; then echo "FAILED: $1 left the tables different ($a / $b)" >&2; exit 1; fi
}

cat > "$work/sync.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><syncjob>
  <source><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user>
    <pwd>$MARIADB_PASSWORD</pwd><database>kro_sync_src</database><compressed>0</compressed></source>
  <target><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user>
    <pwd>$MARIADB_PASSWORD</pwd><database>kro_sync_tgt</database><compressed>0</compressed></target>
  <tables all="no"><table><name>\`mixed\`</name></table></tables>
</syncjob></job>
XML

# run_kro NAME: seconds and peak KiB into NAME.time; the summary line is shown.
run_kro() {
  (cd "$work" && /usr/bin/time -f '%e %M' -o "$work/$1.time" "$build/kro" sync.xml > "$work/$1.out")
  grep '`mixed`' "$work/$1.out" || { cat "$work/$1.out"; exit 1; }
}
# run_pt NAME [OPTION ...]; pt-table-sync exits 2 when it found and repaired differences.
run_pt() {
  local name=$1 status=0
  shift
  /usr/bin/time -f '%e %M' -o "$work/$name.time" pt-table-sync --execute --no-check-triggers "$@" \
    "h=$MARIADB_HOST,P=$MARIADB_PORT,u=$MARIADB_USER,p=$MARIADB_PASSWORD,D=kro_sync_src,t=mixed" \
    "h=$MARIADB_HOST,P=$MARIADB_PORT,D=kro_sync_tgt,t=mixed" > "$work/$name.out" || status=$?
  if [ $status -ne 0 ] && [ $status -ne 2 ]; then cat "$work/$name.out"; exit 1; fi
}

states=${STATES:-identical changed1 changed10}
for state in $states; do
  for run in $(seq "$runs"); do
    prepare_target $state
    echo "== kro, $state, run $run"
    run_kro "kro-$state-$run"
    expect_equal "kro ($state)"
    prepare_target $state
    echo "== pt-table-sync, $state, run $run"
    run_pt "pt-$state-$run"
    expect_equal "pt-table-sync ($state)"
    prepare_target $state
    echo "== pt-table-sync --function MD5, $state, run $run"
    run_pt "ptmd5-$state-$run" --function MD5
    expect_equal "pt-table-sync --function MD5 ($state)"
  done
done

# median NAME: the "seconds peak-KiB" of the median run (by seconds) of NAME-1 .. NAME-runs;
# time's last line holds the figures (a first one tells a non-zero exit status).
median() {
  for run in $(seq "$runs"); do tail -n 1 "$work/$1-$run.time"; done | sort -n | sed -n "$(((runs + 1) / 2))p"
}

echo
echo "median of $runs runs each; ratios are kro's time over pt-table-sync's"
printf '%-10s %8s %8s %8s %8s %8s %14s\n' state "kro s" "pt s" ratio "md5 s" ratio "kro peak MiB"
for state in $states; do
  read -r kro_s _ < <(median "kro-$state")
  # Memory: the highest peak of all of kro's runs.
  kro_kb=$(for run in $(seq "$runs"); do tail -n 1 "$work/kro-$state-$run.time"; done | awk '$2 > m { m = $2 } END { print m }')
  read -r pt_s _ < <(median "pt-$state")
  read -r md5_s _ < <(median "ptmd5-$state")
  printf '%-10s %8s %8s %8s %8s %8s %14s\n' $state "$kro_s" "$pt_s" "$(awk "BEGIN { printf \"%.2f\", $kro_s / $pt_s }")" \
    "$md5_s" "$(awk "BEGIN { printf \"%.2f\", $kro_s / $md5_s }")" "$(awk "BEGIN { printf \"%.1f\", $kro_kb / 1024 }")"
done
