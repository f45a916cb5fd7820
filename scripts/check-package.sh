#!/usr/bin/env bash
# Builds the Debian package of a built tree, installs it on this machine (apt installs the
# libraries it depends on) and checks the installed kro from its installed paths: the
# version line, the man pages (found by man, rendered without warnings), the systemd
# units (systemd-analyze verify, the service's time-out), the account and folders the
# package's postinst creates, kro-check on the installed examples, and the installed export
# example run against the private MariaDB of scripts/services.sh.
#   scripts/check-package.sh BUILD_DIR SERVICES_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
services=$(cd "$2" && pwd)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
work=$(mktemp -d "${TMPDIR:-/tmp}/kro-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

echo "== building the package"
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/kro_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "$(basename "$deb"): Depends: $depends"
# Computed from the linked libraries, so the client library is among them.
grep -q 'libmariadb3' <<<"$depends" || fail "the package's dependencies lack the MariaDB client library"
grep -q 'libzstd1' <<<"$depends" || fail "the package's dependencies lack libzstd, which compressed dumps use"
grep -q 'adduser' <<<"$depends" || fail "the package does not depend on adduser, which its postinst uses"
dpkg-deb -e "$deb" "$work/control"
[ -x "$work/control/postinst" ] || fail "the package has no postinst"

echo "== installing it"
# Slim container images tell dpkg to leave out man pages and documentation: kro's own are
# part of what is checked, so they are let in.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --reinstall --no-install-recommends \
  -o DPkg::Lock::Timeout=600 \
  -o 'DPkg::Options::=--path-include=/usr/share/man/man1/kro*' \
  -o 'DPkg::Options::=--path-include=/usr/share/doc/kro/*' \
  "$deb" </dev/null >/dev/null

echo "== the installed programs"
[ "$(command -v kro)" = /usr/bin/kro ] || fail "kro is not /usr/bin/kro: $(command -v kro)"
[ -x /usr/bin/kro-plink ] || fail "kro-plink is not beside kro"
version=$(kro --version) || true  # the version line ends the run with 1
[ "$version" = "Velmar Job Agent Version 8.2  " ] || fail "unexpected version line: '$version'"
[ -f /usr/share/kro/kro-job.xsd ] || fail "the job-file schema is missing"
[ -f /usr/share/kro/tunnel/VelmarTunnel.php ] || fail "the HTTP tunnel script is missing"

echo "== the account and folders of the postinst"
getent passwd kro >/dev/null || fail "the package did not create the user kro"
[ "$(stat -c '%a %U:%G' /etc/kro)" = "750 root:kro" ] || fail "/etc/kro is $(stat -c '%a %U:%G' /etc/kro)"
for folder in /var/lib/kro /var/log/kro; do
  [ -d "$folder" ] || fail "the package did not create $folder"
done

echo "== the man pages"
for page in kro kro-plink kro-status kro-check; do
  file=$(man -w "$page") || fail "man -w $page found no page"
  warnings=$( { zcat -f "$file" | groff -ww -z -man; } 2>&1 )
  [ -z "$warnings" ] || fail "$file renders with warnings: $warnings"
done

echo "== the systemd units"
# A template verifies as one of its instances.
cp /usr/lib/systemd/system/kro@.service "$work/kro@nightly-export.service"
cp /usr/lib/systemd/system/kro@.timer "$work/kro@nightly-export.timer"
systemd-analyze verify "$work/kro@nightly-export.service" "$work/kro@nightly-export.timer" \
  || fail "systemd-analyze verify refused the units"
# A run that hangs ends with the unit's time-out instead of blocking every later run.
grep -Eq '^TimeoutStartSec=[1-9]' /usr/lib/systemd/system/kro@.service || fail "kro@.service has no TimeoutStartSec"
cp /usr/share/doc/kro/examples/systemd/kro-failure@.service "$work/kro-failure@kro@nightly-export.service.service"
(cd "$work" && systemd-analyze verify "kro-failure@kro@nightly-export.service.service") \
  || fail "systemd-analyze verify refused the failure mail unit"

echo "== kro-check on the installed examples"
# Copies kept private, as job files in use must be (the examples hold sample passwords).
mkdir "$work/examples"
for example in /usr/share/doc/kro/examples/*.xml; do
  install -m 600 "$example" "$work/examples/"
done
kro-check "$work"/examples/*.xml

echo "== the installed export example"
while IFS= read -r setting; do export "${setting?}"; done < "$services/env"
client=(mariadb --no-defaults --skip-ssl -h "$MARIADB_HOST" -P "$MARIADB_PORT" -u "$MARIADB_USER")
MYSQL_PWD=$MARIADB_PASSWORD "${client[@]}" -e "drop database if exists kro_package_check;
  create database kro_package_check; create table kro_package_check.orders (id int primary key, total decimal(10,2));
  insert into kro_package_check.orders values (1, 9.50), (2, 12.00);"
sed -e "s|<host>127.0.0.1</host>|<host>$MARIADB_HOST</host>|" \
    -e "s|<port>3306</port>|<port>$MARIADB_PORT</port>|" \
    -e "s|<user>backup</user>|<user>$MARIADB_USER</user>|" \
    -e "s|<pwd>secret</pwd>|<pwd>$MARIADB_PASSWORD</pwd>|" \
    -e 's|<database name="shop">|<database name="kro_package_check">|' \
    -e "s|/var/backups/shop.sql|$work/dump.sql|" /usr/share/doc/kro/examples/export.xml > "$work/export.xml"
(cd "$work" && kro export.xml) > "$work/out.txt" || fail "the export example failed: $(cat "$work/out.txt")"
dump=$(ls "$work"/*_dump.sql)
grep -qF 'into `orders` values (1,9.50),(2,12.00);' "$dump" || fail "the dump lacks the rows of orders"
tail -n 1 "$dump" | grep -q '^-- Dump completed on ' || fail "the dump is not complete"
MYSQL_PWD=$MARIADB_PASSWORD "${client[@]}" -e "drop database kro_package_check"
echo "the package installs and runs"
