# The set-up the bench scripts share, sourced after they have set top and build: a work
# folder and a cleanup at exit (which first runs the script's bench_cleanup_extra, when it
# defines one); builds kro, starts the private servers when none run (and stops them again
# at the end then), reads their settings and makes `client` the mariadb command line for
# the test user.
services="$build/services"
work=$(mktemp -d "${TMPDIR:-/tmp}/kro-bench-XXXXXX")
started=0
bench_cleanup() {
  if declare -F bench_cleanup_extra >/dev/null; then bench_cleanup_extra || true; fi
  rm -rf "$work"
  if [ $started -eq 1 ]; then "$top/scripts/services.sh" stop "$services" >/dev/null 2>&1 || true; fi
}
trap bench_cleanup EXIT
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }
cmake --build "$build" -j2 --target kro >/dev/null
if [ ! -f "$services/env" ]; then
  "$top/scripts/services.sh" start "$services" >/dev/null
  started=1
fi
while IFS= read -r setting; do export "${setting?}"; done < "$services/env"
export MYSQL_PWD=$MARIADB_PASSWORD
client=(mariadb --no-defaults --skip-ssl -h "$MARIADB_HOST" -P "$MARIADB_PORT" -u "$MARIADB_USER")

# mixed_table DB ROWS: DB.mixed, the benches' table of mixed types, made with ROWS rows
# unless it holds exactly that many already.
mixed_table() {
  local db=$1 rows=$2 have
  have=$("${client[@]}" -N -e "select count(*) from $db.mixed" 2>/dev/null || echo 0)
  [ "$have" = "$rows" ] && return
  echo "== creating $db.mixed with $rows rows"
  "${client[@]}" <<SQL
drop database if exists $db;
create database $db character set utf8mb4;
use $db;
create table mixed (
  id int primary key, qty bigint, price decimal(12,2), ratio double, name varchar(64),
  note text, created datetime, code varbinary(16), flag tinyint, maybe int null
) engine=InnoDB;
set session max_recursive_iterations = 4294967295;
insert into mixed
  with recursive s(n) as (select 1 union all select n + 1 from s where n < $rows)
  select n, n * 7919, (n % 100000) / 100, n / 3.0, concat('name-', n, '-', md5(n)),
         repeat(concat('text ', n, ' it''s "quoted" \\\\ '), 1 + n % 4),
         '2020-01-01' + interval n second, unhex(md5(n)), n % 2, if(n % 5 = 0, null, n)
  from s;
analyze table mixed;
SQL
}

# export_job_xml NAME DATABASE [OPTIONS]: the export job NAME.xml of DATABASE into NAME.sql
# (in $work), with bulk insert.
export_job_xml() {
  cat > "$work/$1.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><exportjob>
  <source><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user>
    <pwd>$MARIADB_PASSWORD</pwd><compressed>0</compressed></source>
  <export><databases><database name="$2"><objects all="yes"/></database></databases>
    <script>$work/$1.sql</script></export>
  <options><bulkinsert>yes</bulkinsert><bulksize>1000</bulksize>${3:-}</options>
</exportjob></job>
XML
}
