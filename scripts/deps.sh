#!/usr/bin/env bash
# Installs the Debian packages kro needs.
#   scripts/deps.sh          what building and running kro need
#   scripts/deps.sh --demo   that, plus the private MariaDB server of the demo
#   scripts/deps.sh --test   that, plus every private test server and test tool
# Idempotent: does nothing when all packages are present. Never prompts.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libmariadb-dev libtinyxml2-dev libgmp-dev libcurl4-openssl-dev libssh-dev unixodbc-dev libxml2-dev
  zlib1g-dev libzstd-dev
)
# dpkg-dev (for the package's computed dependencies), man-db and groff-base (the man
# pages) and systemd (systemd-analyze for the units) serve the package checks.
test_packages=(
  libgtest-dev dpkg-dev man-db groff-base systemd
  mariadb-server mariadb-client openssl
  python3-aiosmtpd
  openssh-server openssh-client
  php-cli php-mysql php-fpm nginx stunnel4 tinyproxy
  procps time locales zstd
  postgresql odbc-postgresql libsqliteodbc sqlite3 unixodbc odbc-mdbtools mdbtools
)
demo_packages=(mariadb-server mariadb-client openssl python3 procps)
case "${1:-}" in
  --test) packages+=("${demo_packages[@]}" "${test_packages[@]}") ;;
  --demo) packages+=("${demo_packages[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--demo|--test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# ODBC driver packages register themselves and fail while ODBCSYSINI names a private folder.
unset ODBCSYSINI
# Refresh the package lists when they are missing or older than a day.
if [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*Packages*' -mtime -1 2>/dev/null | head -n 1)" ]; then
  $sudo apt-get update -q
fi
# Server packages must not start their system-wide daemons: the tests run private ones.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod +x "$policy"
  own_policy=1
fi
trap 'if [ $own_policy -eq 1 ]; then $sudo rm -f "$policy"; fi' EXIT
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
