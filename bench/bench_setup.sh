# The set-up the bench scripts share, sourced after they have set top, build, services
# and started (0) and installed their cleanup: builds kro, starts the private servers when
# none run (started=1 then, for the cleanup to stop them), reads their settings and makes
# `client` the mariadb command line for the test user.
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }
cmake --build "$build" -j2 --target kro >/dev/null
if [ ! -f "$services/env" ]; then
  "$top/scripts/services.sh" start "$services" >/dev/null
  started=1
fi
# shellcheck source=/dev/null
source "$services/env"
export MYSQL_PWD=$MARIADB_PASSWORD
client=(mariadb --no-defaults --skip-ssl -h "$MARIADB_HOST" -P "$MARIADB_PORT" -u "$MARIADB_USER")
