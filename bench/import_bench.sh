#!/usr/bin/env bash
# Times kro's ODBC import of a PostgreSQL table of 1,000,000 rows of mixed types into the
# private MariaDB against the same rows moved by `psql \copy ... to stdout` piped into
# `LOAD DATA LOCAL INFILE` in one run, and reports the ratio of wall times and kro's peak
# memory (maximum resident set).
#   bench/import_bench.sh [rows]        (KRO_BUILD_DIR: the build folder, default build/)
# Needs /usr/bin/time. Starts the services when they are not running and stops them again
# at the end in that case. The source table stays in PostgreSQL for the next run.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${KRO_BUILD_DIR:-$top/build}" && pwd)
rows=${1:-1000000}


# shellcheck source=bench/bench_setup.sh
source "$top/bench/bench_setup.sh"
export PGPASSWORD=$PG_PASSWORD
# A database of its own, kept between runs, beside the tests' source database.
bench_db=kro_bench
pg=(psql -X -q -v ON_ERROR_STOP=1 -h "$PG_HOST" -p "$PG_PORT" -U "$PG_USER" -d "$bench_db")
psql -X -q -h "$PG_HOST" -p "$PG_PORT" -U "$PG_USER" -d "$PG_DATABASE" -c "CREATE DATABASE $bench_db" 2>/dev/null || true

have=$("${pg[@]}" -A -t -c "select count(*) from bench_mixed" 2>/dev/null || echo 0)
if [ "$have" != "$rows" ]; then
  echo "== creating bench_mixed with $rows rows in PostgreSQL"
  "${pg[@]}" <<SQL
DROP TABLE IF EXISTS bench_mixed;
CREATE TABLE bench_mixed (
  id int PRIMARY KEY, qty bigint, price numeric(12,2), ratio double precision, name varchar(64),
  note text, created timestamp(6), code bytea, flag boolean, maybe int);
INSERT INTO bench_mixed SELECT n, n::bigint * 7919, (n % 100000) / 100.0, n / 3.0,
  'name-' || n || '-' || md5(n::text), repeat('text ' || n || ' it''s "quoted" \\ ', 1 + n % 4),
  timestamp '2020-01-01' + n * interval '1.5 second', decode(md5(n::text), 'hex'), n % 2 = 0,
  CASE WHEN n % 5 = 0 THEN NULL ELSE n END
FROM generate_series(1, $rows) n;
ANALYZE bench_mixed;
SQL
fi

# The DSN of the services, reading in pieces of 10,000 rows (psqlodbc otherwise holds the
# whole result).
cp "$ODBCSYSINI/odbcinst.ini" "$work/odbcinst.ini"
sed -e '/^\[kro_pg\]/a UseDeclareFetch=1\nFetch=10000' -e "s/^Database=$PG_DATABASE\$/Database=$bench_db/" \
  "$ODBCSYSINI/odbc.ini" > "$work/odbc.ini"

"${client[@]}" -e "drop database if exists kro_import_bench; drop database if exists kro_load_bench"
cat > "$work/job.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<job><odbcimport>
  <source><host>$MARIADB_HOST</host><port>$MARIADB_PORT</port><user>$MARIADB_USER</user>
    <pwd>$MARIADB_PASSWORD</pwd><database>kro_import_bench</database><compressed>0</compressed></source>
  <dsn type="system"><name>$ODBC_PG_DSN</name><user>$PG_USER</user><pwd>$PG_PASSWORD</pwd></dsn>
  <tables all="no"><table source="bench_mixed" type="InnoDB"><ddl onconflict="recreate"/>
    <dml onconflict="update" import="yes"/></table></tables>
</odbcimport></job>
XML

echo "== kro: ODBC import of $rows rows"
(cd "$work" && ODBCSYSINI=$work /usr/bin/time -f "%e %M" -o "$work/kro.time" "$build/kro" job.xml > "$work/kro.out") ||
  { tail -n 20 "$work/kro.out"; exit 1; }
read -r kro_seconds kro_kb < "$work/kro.time"
tail -n 3 "$work/kro.out" | head -n 1

echo "== psql \\copy | LOAD DATA LOCAL INFILE of the same rows"
"${client[@]}" <<SQL
create database kro_load_bench character set utf8mb4;
create table kro_load_bench.bench_mixed (
  id int primary key, qty bigint, price decimal(12,2), ratio double, name varchar(64),
  note longtext, created datetime(6), code longblob, flag bit(1), maybe int) engine=InnoDB;
SQL
pipeline() {
  "${pg[@]}" -c "\\copy (select id, qty, price, ratio, name, note, created, encode(code, 'hex'), flag::int, maybe from bench_mixed) to stdout" |
    "${client[@]}" --local-infile=1 -e "load data local infile '/dev/stdin' into table kro_load_bench.bench_mixed
      (id, qty, price, ratio, name, note, created, @code, @flag, maybe) set code = unhex(@code), flag = @flag"
}
export -f pipeline
start=$(date +%s.%N)
pipeline
end=$(date +%s.%N)
pipe_seconds=$(echo "$end - $start" | bc)

imported=$("${client[@]}" -N -e "select count(*) from kro_import_bench.bench_mixed")
loaded=$("${client[@]}" -N -e "select count(*) from kro_load_bench.bench_mixed")
[ "$imported" = "$rows" ] && [ "$loaded" = "$rows" ] || { echo "row counts differ: kro $imported, pipeline $loaded" >&2; exit 1; }
"${client[@]}" -e "drop database kro_import_bench; drop database kro_load_bench"

printf '%-28s %10s %14s\n' "" "seconds" "peak memory"
printf '%-28s %10.2f %11d KB\n' "kro odbcimport" "$kro_seconds" "$kro_kb"
printf '%-28s %10.2f %14s\n' "psql \\copy | LOAD DATA" "$pipe_seconds" "-"
printf 'ratio kro / pipeline: %.2f\n' "$(echo "$kro_seconds / $pipe_seconds" | bc -l)"
