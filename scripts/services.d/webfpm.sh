# The tunnel script as a web host runs it: nginx in front of PHP-FPM, with keep-alive, on
# 127.0.0.1. It serves the docroot of the web service (started before this one: services
# start in the order of their names), so the same script, settings and test pages are
# reached both ways. Sourced by scripts/services.sh.
#   FPM_TUNNEL_URL   the tunnel script under nginx and PHP-FPM
#   FPM_TEST_URL     base URL of the same docroot (test folders of HTTP_DOCROOT)

webfpm_dir() { echo "$SERVICES_DIR/webfpm"; }

webfpm_running() { pidfiles_alive webfpm "$(webfpm_dir)" nginx php-fpm; }

webfpm_start() {
  webfpm_running && return 0
  webfpm_stop >/dev/null 2>&1 || true
  local dir docroot port fpm_port root_flag=() user_line=""
  dir=$(webfpm_dir)
  docroot=$(sed -n 's/^HTTP_DOCROOT=//p' "$SERVICES_DIR/env.d/web" 2>/dev/null || true)
  [ -n "$docroot" ] || { echo "webfpm: the web service must start first" >&2; return 1; }
  mkdir -p "$dir/tmp" "$dir/logs"
  port=$(free_port)
  fpm_port=$(free_port)
  # As root both run as root: the services folder may be root's own 0700 folder.
  if [ "$(id -u)" -eq 0 ]; then
    root_flag=(-R)
    user_line="user root root;"
  fi

  cat > "$dir/php-fpm.conf" <<CONF
[global]
error_log = $dir/logs/php-fpm.log
daemonize = no

[tunnel]
user = $(id -un)
group = $(id -gn)
listen = 127.0.0.1:$fpm_port
pm = static
pm.max_children = 4
catch_workers_output = yes
php_admin_value[sys_temp_dir] = $dir/tmp
php_admin_value[upload_tmp_dir] = $dir/tmp
php_admin_value[post_max_size] = 1G
php_admin_value[memory_limit] = 512M
php_admin_value[mysqli.allow_local_infile] = 1
php_admin_value[opcache.revalidate_freq] = 0
CONF
  setsid /usr/sbin/php-fpm8.2 "${root_flag[@]}" -y "$dir/php-fpm.conf" -F < /dev/null > "$dir/logs/php-fpm.out" 2>&1 &
  echo $! > "$dir/php-fpm.pid"

  cat > "$dir/nginx.conf" <<CONF
$user_line
worker_processes 2;
daemon off;
pid $dir/nginx.pid.run;
error_log $dir/logs/error.log;
events { worker_connections 256; }
http {
  # Which connection carried each request, so tests can see connections kept or renewed.
  log_format tunnel '\$remote_addr:\$remote_port \$connection \$connection_requests "\$request" \$status \$body_bytes_sent';
  access_log $dir/logs/access.log tunnel;
  client_body_temp_path $dir/tmp/body;
  fastcgi_temp_path $dir/tmp/fastcgi;
  proxy_temp_path $dir/tmp/proxy;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  client_max_body_size 1g;
  keepalive_timeout 65;
  keepalive_requests 10000;
  server {
    listen 127.0.0.1:$port;
    root $docroot;
    location ~ \.php\$ {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass 127.0.0.1:$fpm_port;
      fastcgi_read_timeout 600s;
    }
  }
}
CONF
  setsid /usr/sbin/nginx -p "$dir" -e "$dir/logs/error.log" -c "$dir/nginx.conf" < /dev/null > "$dir/logs/nginx.out" 2>&1 &
  echo $! > "$dir/nginx.pid"

  wait_for_ports webfpm "$dir/logs" webfpm_stop "$fpm_port" "$port" || return 1
  cat > "$SERVICES_DIR/env.d/webfpm" <<ENV
FPM_TUNNEL_URL=http://127.0.0.1:$port/VelmarTunnel.php
FPM_TEST_URL=http://127.0.0.1:$port
FPM_ACCESS_LOG=$dir/logs/access.log
ENV
}

webfpm_stop() {
  local dir
  dir=$(webfpm_dir)
  rm -f "$SERVICES_DIR/env.d/webfpm"
  stop_pidfile "$dir/nginx.pid" group
  stop_pidfile "$dir/php-fpm.pid" group
  rm -f "$dir/nginx.pid.run"
}
