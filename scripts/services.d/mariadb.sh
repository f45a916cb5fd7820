# The private MariaDB server of the tests: a fresh data folder at every start, 127.0.0.1 on
# a free port plus a unix socket, SSL with a CA and server certificate made at start, a
# test user with a password and every privilege. Sourced by scripts/services.sh.
# The functions take an instance name, so that mariadb2.sh starts a second server the same way.
#   MARIADB_HOST MARIADB_PORT MARIADB_SOCKET   where it listens
#   MARIADB_USER MARIADB_PASSWORD              the test user (all privileges, any host)
#   MARIADB_ROOT_USER MARIADB_ROOT_PASSWORD    the server's root account
#   MARIADB_CA MARIADB_CLIENT_CERT MARIADB_CLIENT_KEY   CA and a client certificate it signed

mariadb_user=kro
mariadb_password='kro-Test_pw1'
mariadb_root_password='kro-Root_pw1'

# $1: the instance's name (its folder and env file).
mariadb_dir() { echo "$SERVICES_DIR/${1:-mariadb}"; }

mariadb_running() {
  local name=${1:-mariadb} dir pid
  dir=$(mariadb_dir "$name")
  [ -f "$dir/server.pid" ] && [ -f "$SERVICES_DIR/env.d/$name" ] || return 1
  pid=$(cat "$dir/server.pid")
  kill -0 "$pid" 2>/dev/null && [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" != Z ]
}

# A CA, a server certificate for 127.0.0.1/localhost and a client certificate, all signed by the CA.
mariadb_make_certificates() {
  local ssl=$1
  rm -rf "$ssl" && mkdir -p "$ssl"
  (
    cd "$ssl"
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=kro test CA" \
      -keyout ca-key.pem -out ca.pem 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' > server.ext
    openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
      -keyout server-key.pem -out server.csr 2>/dev/null
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -days 3650 \
      -extfile server.ext -out server-cert.pem 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=kro test client" \
      -keyout client-key.pem -out client.csr 2>/dev/null
    openssl x509 -req -in client.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -days 3650 \
      -out client-cert.pem 2>/dev/null
    rm -f ./*.csr server.ext
  )
}

mariadb_start() { mariadb_instance_start mariadb MARIADB; }
mariadb_stop() { mariadb_instance_stop mariadb; }

# $1: instance name, $2: prefix of its env settings, further words: server options.
mariadb_instance_start() {
  local name=$1 prefix=$2
  shift 2
  mariadb_running "$name" && return 0
  mariadb_instance_stop "$name" >/dev/null 2>&1 || true
  local dir port sock cnf user=$mariadb_user password=$mariadb_password root_password=$mariadb_root_password
  dir=$(mariadb_dir "$name")
  mkdir -p "$dir"
  sock="$dir/sock"
  cnf="$dir/my.cnf"
  port=$(free_port)
  mariadb_make_certificates "$dir/ssl"
  cat > "$cnf" <<CNF
[mariadbd]
datadir=$dir/data
socket=$sock
port=$port
bind-address=127.0.0.1
pid-file=$dir/mariadbd.pid
log-error=$dir/error.log
skip-name-resolve
character-set-server=utf8mb4
collation-server=utf8mb4_general_ci
ssl-ca=$dir/ssl/ca.pem
ssl-cert=$dir/ssl/server-cert.pem
ssl-key=$dir/ssl/server-key.pem
innodb-buffer-pool-size=64M
innodb-log-file-size=16M
max-connections=200
$(printf '%s\n' "$@")
CNF
  rm -rf "$dir/data"
  # mariadb-install-db splits a path with blanks (its options file's and its own): it is given
  # its settings on the command line and, for such a path, a link to the folder without blanks.
  local install_dir=$dir link=""
  if [[ $dir == *[[:space:]]* ]]; then
    link=$(mktemp -u /tmp/kro-mariadb-XXXXXX)
    ln -s "$dir" "$link"
    install_dir=$link
  fi
  mariadb-install-db --no-defaults --datadir="$install_dir/data" --user=root \
    --auth-root-authentication-method=normal --skip-test-db --innodb-log-file-size=16M \
    > "$dir/install.log" 2>&1 || { [ -z "$link" ] || rm -f "$link"; cat "$dir/install.log" >&2; return 1; }
  [ -z "$link" ] || rm -f "$link"
  setsid mariadbd --defaults-file="$cnf" --user=root < /dev/null >> "$dir/server.out" 2>&1 &
  echo $! > "$dir/server.pid"
  local i
  for ((i = 0; i < 300; i++)); do
    [ -S "$sock" ] && wait_for_port "$port" 1 && break
    kill -0 "$(cat "$dir/server.pid")" 2>/dev/null || break
    sleep 0.1
  done
  if ! [ -S "$sock" ] || ! wait_for_port "$port" 1; then
    echo "mariadb did not start; see $dir/error.log" >&2
    tail -n 20 "$dir/error.log" >&2 || true
    return 1
  fi
  mariadb --no-defaults --socket="$sock" -uroot <<SQL || return 1
CREATE USER '$user'@'%' IDENTIFIED BY '$password';
CREATE USER '$user'@'localhost' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'%' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO '$user'@'localhost' WITH GRANT OPTION;
ALTER USER 'root'@'localhost' IDENTIFIED BY '$root_password';
FLUSH PRIVILEGES;
SQL
  cat > "$SERVICES_DIR/env.d/$name" <<ENV
${prefix}_HOST=127.0.0.1
${prefix}_PORT=$port
${prefix}_SOCKET=$sock
${prefix}_USER=$user
${prefix}_PASSWORD=$password
${prefix}_ROOT_USER=root
${prefix}_ROOT_PASSWORD=$root_password
${prefix}_CA=$dir/ssl/ca.pem
${prefix}_CLIENT_CERT=$dir/ssl/client-cert.pem
${prefix}_CLIENT_KEY=$dir/ssl/client-key.pem
ENV
}

mariadb_instance_stop() {
  local name=$1 dir pid i
  dir=$(mariadb_dir "$name")
  rm -f "$SERVICES_DIR/env.d/$name"
  [ -f "$dir/server.pid" ] || return 0
  pid=$(cat "$dir/server.pid")
  # A clean shutdown first; the pid file's TERM/KILL is the fallback.
  if [ -S "$dir/sock" ]; then
    mariadb-admin --no-defaults --socket="$dir/sock" -uroot -p"$mariadb_root_password" shutdown >/dev/null 2>&1 || true
  fi
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    [ "$(ps -o stat= -p "$pid" 2>/dev/null | cut -c1)" = Z ] && break
    sleep 0.1
  done
  stop_pidfile "$dir/server.pid"
}
