# The HTTP tunnel's test servers, in front of the private MariaDB (started before this
# one: services start in the order of their names). Sourced by scripts/services.sh.
#   HTTP_TUNNEL_URL        the tunnel script under "php -S" (plain HTTP)
#   HTTPS_TUNNEL_URL       the same behind stunnel, with a self-signed, expired certificate
#                          for a host name that is not 127.0.0.1
#   HTTP_AUTH_TUNNEL_URL   the same behind HTTP Basic authentication
#   HTTP_AUTH_USER HTTP_AUTH_PASSWORD      its credentials
#   HTTP_TEST_URL          base URL of the test pages (echo.php, canned.php)
#   HTTP_DOCROOT           the folder php -S serves (tests may add folders of their own)
#   HTTP_TEMP_DIR          PHP's folder for temporary files
#   HTTP_PROXY_HOST HTTP_PROXY_PORT        an HTTP proxy (tinyproxy)
#   HTTP_AUTH_PROXY_PORT HTTP_PROXY_USER HTTP_PROXY_PASSWORD   a proxy that wants credentials

web_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
web_auth_user=tunnel
web_auth_password='tunnel-Pw_1'
web_proxy_user=proxyuser
web_proxy_password='proxy-Pw_1'

web_dir() { echo "$SERVICES_DIR/web"; }

web_running() { pidfiles_alive web "$(web_dir)" php php-auth stunnel proxy proxy-auth; }

# A certificate that fails every check a client could make: self-signed, expired, and
# issued for another host.
web_make_certificate() {
  local ssl=$1
  rm -rf "$ssl" && mkdir -p "$ssl"
  (
    cd "$ssl"
    openssl req -new -newkey rsa:2048 -nodes -subj "/CN=tunnel.invalid" \
      -keyout key.pem -out req.csr 2>/dev/null
    touch index.txt
    echo 01 > serial
    printf '[ca]\ndefault_ca=self\n[self]\ndir=.\ndatabase=index.txt\nserial=serial\nnew_certs_dir=.\ndefault_md=sha256\npolicy=any\n[any]\ncommonName=supplied\n' > ca.cnf
    openssl ca -batch -config ca.cnf -selfsign -keyfile key.pem -in req.csr \
      -startdate 20200101000000Z -enddate 20210101000000Z -out cert.pem >/dev/null 2>&1
  )
  [ -s "$ssl/cert.pem" ]
}

# The tunnel script as users install it: a copy (it looks for its settings beside its own
# file, a symbolic link would lead it to the repository) and a tunnel-config.php that
# allows the private MariaDB. Renewed at every start, so the tests run the current script.
web_install_script() {
  local dir mariadb_port
  dir=$(web_dir)
  mkdir -p "$dir/docroot" "$dir/tmp"
  mariadb_port=$(sed -n 's/^MARIADB_PORT=//p' "$SERVICES_DIR/env.d/mariadb" 2>/dev/null || true)
  [ -n "$mariadb_port" ] || { echo "web: the mariadb service must start first" >&2; return 1; }
  cp "$web_repo/tunnel/VelmarTunnel.php" "$dir/docroot/VelmarTunnel.php.tmp"
  mv "$dir/docroot/VelmarTunnel.php.tmp" "$dir/docroot/VelmarTunnel.php"
  printf "<?php\nreturn array('allow' => array('127.0.0.1:%s'));\n" "$mariadb_port" > "$dir/docroot/tunnel-config.php.tmp"
  mv "$dir/docroot/tunnel-config.php.tmp" "$dir/docroot/tunnel-config.php"
}

# Starts "php -S" in its own process group (its workers outlive a TERM to the parent).
# PHP is set up as a careless host would be: LOAD DATA LOCAL allowed, large bodies taken;
# scripts are kept compiled as on a production server, checked for changes at every request.
web_start_php() {
  local name=$1 port=$2 dir router=()
  dir=$(web_dir)
  [ -n "${3:-}" ] && router=("$3")
  KRO_TUNNEL_AUTH_USER=$web_auth_user KRO_TUNNEL_AUTH_PASSWORD=$web_auth_password \
    PHP_CLI_SERVER_WORKERS=4 setsid php -d post_max_size=1G -d memory_limit=512M \
    -d mysqli.allow_local_infile=1 -d sys_temp_dir="$dir/tmp" -d opcache.enable_cli=1 -d opcache.revalidate_freq=0 \
    -S "127.0.0.1:$port" -t "$dir/docroot" "${router[@]}" < /dev/null > "$dir/$name.log" 2>&1 &
  echo $! > "$dir/$name.pid"
}

web_start_proxy() {
  local name=$1 port=$2 auth=${3:-} dir
  dir=$(web_dir)
  cat > "$dir/$name.conf" <<CONF
Port $port
Listen 127.0.0.1
Timeout 120
Allow 127.0.0.1
MaxClients 50
LogFile "$dir/$name.log"
LogLevel Info
DisableViaHeader Yes
$auth
CONF
  setsid tinyproxy -d -c "$dir/$name.conf" < /dev/null >> "$dir/$name.out" 2>&1 &
  echo $! > "$dir/$name.pid"
}

web_start() {
  web_install_script || return 1
  web_running && return 0
  web_stop >/dev/null 2>&1 || true
  local dir port auth_port https_port proxy_port auth_proxy_port p
  dir=$(web_dir)
  for p in "$web_repo"/tests/integration/http/*.php; do
    [ -e "$p" ] && ln -sf "$p" "$dir/docroot/$(basename "$p")"
  done
  # Basic authentication in front of every page, for the authentication tests.
  cat > "$dir/auth_router.php" <<'PHP'
<?php
$user = getenv('KRO_TUNNEL_AUTH_USER');
$password = getenv('KRO_TUNNEL_AUTH_PASSWORD');
if (!isset($_SERVER['PHP_AUTH_USER'], $_SERVER['PHP_AUTH_PW'])
    || $_SERVER['PHP_AUTH_USER'] !== $user || $_SERVER['PHP_AUTH_PW'] !== $password) {
    header('WWW-Authenticate: Basic realm="kro tunnel"');
    http_response_code(401);
    echo 'Authorization required';
    return true;
}
return false;
PHP
  web_make_certificate "$dir/ssl" || { echo "web: could not make the certificate" >&2; return 1; }

  port=$(free_port)
  web_start_php php "$port"
  auth_port=$(free_port)
  web_start_php php-auth "$auth_port" "$dir/auth_router.php"

  https_port=$(free_port)
  cat > "$dir/stunnel.conf" <<CONF
foreground = yes
pid =
output = $dir/stunnel.log
[tunnel]
accept = 127.0.0.1:$https_port
connect = 127.0.0.1:$port
cert = $dir/ssl/cert.pem
key = $dir/ssl/key.pem
CONF
  setsid stunnel4 "$dir/stunnel.conf" < /dev/null > "$dir/stunnel.out" 2>&1 &
  echo $! > "$dir/stunnel.pid"

  proxy_port=$(free_port)
  web_start_proxy proxy "$proxy_port"
  auth_proxy_port=$(free_port)
  web_start_proxy proxy-auth "$auth_proxy_port" "BasicAuth $web_proxy_user $web_proxy_password"

  wait_for_ports web "$dir" web_stop "$port" "$auth_port" "$https_port" "$proxy_port" "$auth_proxy_port" || return 1
  cat > "$SERVICES_DIR/env.d/web" <<ENV
HTTP_TUNNEL_URL=http://127.0.0.1:$port/VelmarTunnel.php
HTTPS_TUNNEL_URL=https://127.0.0.1:$https_port/VelmarTunnel.php
HTTP_AUTH_TUNNEL_URL=http://127.0.0.1:$auth_port/VelmarTunnel.php
HTTP_AUTH_USER=$web_auth_user
HTTP_AUTH_PASSWORD=$web_auth_password
HTTP_TEST_URL=http://127.0.0.1:$port
HTTP_DOCROOT=$dir/docroot
HTTP_TEMP_DIR=$dir/tmp
HTTP_PROXY_HOST=127.0.0.1
HTTP_PROXY_PORT=$proxy_port
HTTP_AUTH_PROXY_PORT=$auth_proxy_port
HTTP_PROXY_USER=$web_proxy_user
HTTP_PROXY_PASSWORD=$web_proxy_password
ENV
}

web_stop() {
  local dir f
  dir=$(web_dir)
  rm -f "$SERVICES_DIR/env.d/web"
  for f in proxy-auth proxy stunnel php-auth php; do
    stop_pidfile "$dir/$f.pid" group
  done
}
