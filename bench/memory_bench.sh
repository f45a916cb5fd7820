#!/usr/bin/env bash
# Peak memory (maximum resident set, GNU time's %M) of kro in the cases where it once held
# several copies of its data, on the private servers of scripts/services.sh:
#   - an export of a table whose second row holds a 64 MB blob (pseudo-random bytes, and
#     zero bytes, which escaping doubles);
#   - a notification mailing `select *` of 200,000 rows (int, varchar(60), double, datetime);
#   - a 50 MB job file: one 50 MB statement whose text goes into the mail (includequery),
#     and a data load of 50 MB of INSERT statements, with and without an XML declaration.
#   bench/memory_bench.sh               (KRO_BUILD_DIR: the build folder, default build/;
#                                        KRO_BINARY: another kro to measure, such as an
#                                        older build, default the build's own;
#                                        KRO_BENCH_KEEP=1 keeps the database for the next run)
# Needs /usr/bin/time (Debian package "time"). Starts the services when they are not
# running and stops them again at the end in that case. The server's max_allowed_packet is
# raised to 256 MB for the run (a 64 MB row, a 50 MB statement) and set back afterwards.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
kro=${KRO_BINARY:-$build/kro}
packet=""
client=()

# Run before the shared cleanup of bench_setup.sh.
bench_cleanup_extra() {
  if [ -n "$packet" ]; then "${client[@]}" -e "set global max_allowed_packet = $packet" || true; fi
}

# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"

packet=$("${client[@]}" -N -e "select @@global.max_allowed_packet")
"${client[@]}" -e "set global max_allowed_packet = 268435456"

rows=200000
have=$("${client[@]}" -N -e "select count(*) from kro_membench.notified" 2>/dev/null || echo 0)
if [ "$have" != "$rows" ]; then
  echo "== creating kro_membench"
  "${client[@]}" <<SQL
drop database if exists kro_membench;
create database kro_membench character set utf8mb4;
use kro_membench;
set session group_concat_max_len = 2097152;
create table blob_random (id int primary key, b longblob);
insert into blob_random values (1, 'small');
insert into blob_random select 2, group_concat(unhex(sha2(seq, 256)) separator '') from seq_1_to_32768;
update blob_random set b = repeat(b, 64) where id = 2;
create table blob_zero (id int primary key, b longblob);
insert into blob_zero values (1, 'small'), (2, repeat(0x00, 67108864));
create table notified (id int primary key, name varchar(60), ratio double, at datetime);
insert into notified
  select seq, left(concat('name ', seq, ' ', md5(seq), ' it''s <b>'), 60), seq / 7,
         '2024-01-01' + interval seq minute
  from seq_1_to_$rows;
create table loaded (id int primary key, note text);
SQL
fi

# The job files. A notification job's mail goes to the plain SMTP sink.
notify_job() {  # $1: recipient, $2: file holding the query element's XML text, $3: switches
  cat <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><notifyjob>
<source><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user>
  <pwd>$MARIADB_PASSWORD</pwd><database>kro_membench</database></source>
<smtp><displayname>kro bench</displayname><fromemail>kro@example.test</fromemail>
  <host>$SMTP_HOST</host><port>$SMTP_PORT</port><toemail>$1@example.test</toemail>
  <subject>memory bench</subject></smtp>
XML
  printf '<query>'
  cat "$2"
  printf '</query>%s\n</notifyjob></job>\n' "$3"
}
export_job() {  # $1: table
  cat <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><exportjob>
  <source><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user>
    <pwd>$MARIADB_PASSWORD</pwd><compressed>0</compressed></source>
  <export><databases><database name="kro_membench"><objects all="no"><tables><table>$1</table></tables>
    </objects></database></databases><script>$work/$1.sql</script></export>
  <options><bulkinsert>yes</bulkinsert><bulksize>1000</bulksize></options>
</exportjob></job>
XML
}
token="membench-$$"
export_job blob_random > "$work/blob_random.xml"
export_job blob_zero > "$work/blob_zero.xml"
echo "select * from notified" > "$work/rows.sql"
notify_job "$token-rows" "$work/rows.sql" "" > "$work/rows.xml"
# One statement of 50 MB whose text the mail repeats, and 50 MB of small statements.
python3 - "$work" <<'PY'
import os, sys
work = sys.argv[1]
mb50 = 50 * 1024 * 1024
with open(os.path.join(work, "one.sql"), "w") as f:
    f.write("select length('" + "it''s a long text " * (mb50 // 18) + "') as n")
with open(os.path.join(work, "load.sql"), "w") as f:
    f.write("delete from loaded;\n")
    size, i = 0, 0
    while size < mb50:
        i += 1
        s = "insert into loaded values (%d, '%s');\n" % (i, ("row %d it''s text " % i) * 50)
        f.write(s)
        size += len(s)
    f.write("select count(*) as loaded from loaded")
PY
notify_job "$token-one" "$work/one.sql" '<includequery value="yes"/>' > "$work/one.xml"
notify_job "$token-load" "$work/load.sql" "" > "$work/load.xml"
# Without an XML declaration the statements are converted from the locale's character set.
notify_job "$token-plain" "$work/load.sql" "" | tail -n +2 > "$work/load-plain.xml"

# Runs kro on a job file; prints "<peak RSS in KB> <wall seconds>". $2: the text a
# successful run prints.
measure() {
  (cd "$work" && /usr/bin/time -f '%M %e' -o "$work/time" "$kro" "$1" > "$work/out" 2>&1) || true
  if ! grep -q "$2" "$work/out"; then
    echo "kro did not succeed on $1:" >&2
    tail -c 2000 "$work/out" >&2
    exit 1
  fi
  cat "$work/time"
}

mail_size() {  # the size of the stored mail sent to $1
  local meta
  meta=$(grep -l "$1@" "$SMTP_MAILDIR"/*.json | tail -1)
  stat -c %s "${meta%.json}.eml"
}

mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

report() {  # $1: case, $2: data bytes, $3: "peak_kb seconds"
  local kb s
  read -r kb s <<<"$3"
  printf '%-48s %10s %14s %8s %9s\n' "$1" "$(mb "$2")" "$(mb $((kb * 1024)))" \
    "$(awk -v p="$kb" -v d="$2" 'BEGIN { printf "%.1f", p * 1024 / d }')" "$s"
}

echo "== measuring"
blob_random=$(measure blob_random.xml "Export successful")
blob_zero=$(measure blob_zero.xml "Export successful")
notified=$(measure rows.xml "Mail sent successfully")
notified_mail=$(mail_size "$token-rows")
one=$(measure one.xml "Mail sent successfully")
one_mail=$(mail_size "$token-one")
load=$(measure load.xml "Mail sent successfully")
load_plain=$(measure load-plain.xml "Mail sent successfully")
[ "$("${client[@]}" -N -e "select count(*) from kro_membench.loaded")" -gt 40000 ] ||
  { echo "the data load did not load its rows" >&2; exit 1; }

echo
printf '%-48s %10s %14s %8s %9s\n' case "data (MB)" "peak RSS (MB)" "peak/data" "wall (s)"
report "export: 64 MB random blob after a small row" 67108864 "$blob_random"
report "export: 64 MB zero-byte blob after a small row" 67108864 "$blob_zero"
report "notify: 200,000 rows (data: the mail)" "$notified_mail" "$notified"
report "job file: one 50 MB statement, in the mail" "$(stat -c %s "$work/one.xml")" "$one"
report "job file: 50 MB of INSERT statements" "$(stat -c %s "$work/load.xml")" "$load"
report "the same without an XML declaration" "$(stat -c %s "$work/load-plain.xml")" "$load_plain"
echo "mail sizes: 200,000 rows $(mb "$notified_mail") MB; the 50 MB statement $(mb "$one_mail") MB"
[ "${KRO_BENCH_KEEP:-0}" = 1 ] || "${client[@]}" -e "drop database kro_membench"
