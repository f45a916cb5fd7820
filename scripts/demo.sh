#!/usr/bin/env bash
# A first look at kro on a fresh Debian machine: installs what is missing, builds, starts a
# private MariaDB with a small sample database, runs examples/export.xml against it, shows
# what kro printed and where the dump went, and restores the database from the dump. The
# private server is stopped at the end. Exits non-zero when any step fails.
#   KRO_BUILD_DIR   the build folder (default build/)
#   KRO_BUILD_JOBS  parallel build jobs (default: all cores)
#   TMPDIR          where the demo's folder is made (default /tmp)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
"$top/scripts/deps.sh" --demo
cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" -j "${KRO_BUILD_JOBS:-$(nproc)}" --target kro

work=$(mktemp -d "${TMPDIR:-/tmp}/kro-demo-XXXXXX")
services="$work/services"
trap '"$top/scripts/services.sh" stop "$services" >/dev/null 2>&1 || true; rm -rf "$services"' EXIT

echo "== kro --version"
"$build/kro" --version || true
echo
echo "== starting a private MariaDB under $services"
"$top/scripts/services.sh" start "$services" mariadb >/dev/null
while IFS= read -r setting; do export "${setting?}"; done < "$services/env"
export MYSQL_PWD=$MARIADB_PASSWORD
mariadb --no-defaults --default-character-set=utf8mb4 --skip-ssl -h "$MARIADB_HOST" -P "$MARIADB_PORT" -u "$MARIADB_USER" <<'SQL'
create database shop character set utf8mb4;
use shop;
create table customers (id int primary key, name varchar(60), city varchar(40));
insert into customers values (1, 'Ann O''Neil', 'Dublin'), (2, 'Björn', 'Malmö'), (3, 'Zoë 😀', NULL);
create table orders (id int primary key, customer int, total decimal(10,2), placed datetime,
  foreign key (customer) references customers (id));
insert into orders values (10, 1, 19.90, '2024-05-01 10:00:00'), (11, 3, 5.00, '2024-05-02 11:30:00');
-- order_items comes before orders in the dump (name order) but refers to it: the job's
-- <fkchecks>yes</fkchecks> lets the restore create it first.
create table order_items (id int primary key, order_id int not null, item varchar(40),
  foreign key (order_id) references orders (id));
insert into order_items values (1, 10, 'tea'), (2, 10, 'cups'), (3, 11, 'spoon');
create view big_orders as select id, total from orders where total > 10;
create function with_tax(x decimal(10,2)) returns decimal(10,2) deterministic return x * 1.2;
SQL

echo "== the job file (examples/export.xml with this server's settings)"
sed -e "s|<host>127.0.0.1</host>|<host>$MARIADB_HOST</host>|" \
    -e "s|<port>3306</port>|<port>$MARIADB_PORT</port>|" \
    -e "s|<user>backup</user>|<user>$MARIADB_USER</user>|" \
    -e "s|<pwd>secret</pwd>|<pwd>$MARIADB_PASSWORD</pwd>|" \
    -e "s|/var/backups/shop.sql|$work/dumps/shop.sql|" "$top/examples/export.xml" > "$work/export.xml"
mkdir -p "$work/dumps"
cat "$work/export.xml"
echo
echo "== kro export.xml"
(cd "$work" && "$build/kro" export.xml) && rc=0 || rc=$?
echo
echo "== exit code: $rc"
[ "$rc" -eq 0 ] || { echo "demo: kro failed; its log: $work/kro.log" >&2; exit 1; }
echo "== the dump went to:"
ls -l "$work/dumps"
dump=$(find "$work/dumps" -name '*.sql' | head -n 1)
[ -n "$dump" ] || { echo "demo: kro wrote no dump" >&2; exit 1; }
echo "== first lines of $dump:"
head -n 40 "$dump"
echo "..."
echo "== $work/kro.log:"; cat "$work/kro.log"; echo
echo "== $work/krosession.xml:"; cat "$work/krosession.xml"; echo
echo
echo "== restoring: shop dropped, then the dump replayed with the mariadb client"
client=(mariadb --no-defaults --default-character-set=utf8mb4 --skip-ssl -h "$MARIADB_HOST" -P "$MARIADB_PORT" -u "$MARIADB_USER")
"${client[@]}" -e "drop database shop"
"${client[@]}" < "$dump"
"${client[@]}" -e "select o.id, c.name, i.item from shop.order_items i join shop.orders o on o.id = i.order_id join shop.customers c on c.id = o.customer order by i.id"
restored=$("${client[@]}" -N -e "select count(*) from shop.order_items")
[ "$restored" = 3 ] || { echo "demo: the restored database holds $restored order items, not 3" >&2; exit 1; }
echo
echo "== demo done: the dump of shop restored it whole; its files are in $work"
