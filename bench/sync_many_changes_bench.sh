#!/usr/bin/env bash
# One chunk with many changes: a source of 10 rows against a target of ROWS rows (default
# 100,000) of the same key range, so that one chunk holds every target row and nearly all
# of them are deleted. Reports the wall time and kro's own CPU time (user + system, GNU
# time): the wall time is mostly the server's deletes; kro's CPU time grows with the square
# of the chunk's rows when each row to change is sought from the start of the stored result.
# The tables must end equal (CHECKSUM TABLE); the script fails otherwise.
#   bench/sync_many_changes_bench.sh [rows]   (KRO_BUILD_DIR: the build folder, default build/)
# Needs /usr/bin/time. Starts the services when they are not running and stops them again
# at the end in that case.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
rows=${1:-100000}
client=()

bench_cleanup_extra() {
  if [ ${#client[@]} -gt 0 ]; then
    "${client[@]}" -e "drop database if exists kro_many_src; drop database if exists kro_many_tgt" || true
  fi
}

# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"

"${client[@]}" <<SQL
drop database if exists kro_many_src;
drop database if exists kro_many_tgt;
create database kro_many_src;
create database kro_many_tgt;
create table kro_many_src.t (id int primary key, v varchar(20));
create table kro_many_tgt.t like kro_many_src.t;
use kro_many_src;
insert into t select seq, 'source' from seq_1_to_10;
use kro_many_tgt;
insert into t select seq, 'target' from seq_1_to_$rows;
SQL

server() {
  echo "<$1><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user>"
  echo "<pwd>$MARIADB_PASSWORD</pwd><database>$2</database><compressed>0</compressed></$1>"
}
cat > "$work/job.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><syncjob>
$(server source kro_many_src)
$(server target kro_many_tgt)
<tables all="no"><table><name>t</name></table></tables>
</syncjob></job>
XML

echo "== 10 source rows against $rows target rows"
(cd "$work" && /usr/bin/time -f "%e %U %S" -o "$work/time" "$build/kro" job.xml -lsync.log -ssession.xml >"$work/out")
read -r wall user system < "$work/time"
src=$("${client[@]}" -N -e "checksum table kro_many_src.t" | cut -f2)
tgt=$("${client[@]}" -N -e "checksum table kro_many_tgt.t" | cut -f2)
[ "$src" = "$tgt" ] || { echo "tables differ after the sync" >&2; cat "$work/out" >&2; exit 1; }
awk -v w="$wall" -v u="$user" -v s="$system" 'BEGIN { printf "wall %s s, kro'"'"'s CPU %.2f s\n", w, u + s }'
