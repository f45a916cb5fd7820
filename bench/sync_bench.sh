#!/usr/bin/env bash
# A sync's bulk copy: a 1,000,000-row table copied into an empty target table, with the
# time taken and kro's peak memory (maximum resident set, GNU time's %M), directly and in
# direct-and-script mode (the script written too). On the private servers of
# scripts/services.sh: from the first server to the second when it runs, else between two
# databases of the first.
#   bench/sync_bench.sh            (KRO_BUILD_DIR: the build folder, default build/;
#                                   KRO_BENCH_KEEP=1 keeps the source database for the next run)
# Needs /usr/bin/time (Debian package "time"). Starts the services when they are not
# running and stops them again at the end in that case.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
client=()

# Run before the shared cleanup of bench_setup.sh.
bench_cleanup_extra() {
  if [ "${KRO_BENCH_KEEP:-0}" != 1 ] && [ ${#client[@]} -gt 0 ]; then
    "${client[@]}" -e "drop database if exists kro_syncbench_src" || true
  fi
}

# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"

target_host=${MARIADB2_HOST:-$MARIADB_HOST}
target_port=${MARIADB2_PORT:-$MARIADB_PORT}
target=(mariadb --no-defaults --skip-ssl -h "$target_host" -P "$target_port" -u "$MARIADB_USER")
rows=1000000

have=$("${client[@]}" -N -e "select count(*) from kro_syncbench_src.t" 2>/dev/null || echo 0)
if [ "$have" != "$rows" ]; then
  echo "== creating kro_syncbench_src ($rows rows)"
  "${client[@]}" <<SQL
drop database if exists kro_syncbench_src;
create database kro_syncbench_src character set utf8mb4;
use kro_syncbench_src;
create table t (id int primary key, name varchar(60), amount decimal(12,2), at datetime, note text);
insert into t select seq, concat('name ', seq, ' ', md5(seq)), seq / 7, '2024-01-01' + interval seq minute,
                     if(seq % 10 = 0, repeat('x', 200), NULL)
  from seq_1_to_$rows;
SQL
fi

job() {  # $1: sync_action element
  cat <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><syncjob>
<source><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user><pwd>$MARIADB_PASSWORD</pwd><database>kro_syncbench_src</database></source>
<target><host>$target_host</host><port>$target_port</port><user>$MARIADB_USER</user><pwd>$MARIADB_PASSWORD</pwd><database>kro_syncbench_tgt</database></target>
<tables all="yes"/>$1
</syncjob></job>
XML
}

run() {  # $1: label, $2: sync_action element
  "${target[@]}" -e "drop database if exists kro_syncbench_tgt; create database kro_syncbench_tgt character set utf8mb4"
  job "$2" > "$work/job.xml"
  /usr/bin/time -f "%e %M" -o "$work/time" "$build/kro" "$work/job.xml" -l"$work/log" -s"$work/session.xml" > "$work/out"
  read -r seconds kb < "$work/time"
  local copied
  copied=$("${target[@]}" -N -e "select count(*) from kro_syncbench_tgt.t")
  printf '%-28s %8s s  %8s KB peak  %s rows copied\n' "$1" "$seconds" "$kb" "$copied"
}

echo "== copy of $rows rows into an empty table (target port $target_port)"
run "direct" ""
run "direct and script" "<sync_action type=\"all\"><file>$work/sync.sql</file></sync_action>"
ls -l "$work/sync.sql" | awk '{ printf "script: %s bytes\n", $5 }'
"${target[@]}" -e "drop database if exists kro_syncbench_tgt"
