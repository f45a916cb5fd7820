# SMTP sink (python3-aiosmtpd) that stores every message it receives as files in
# $SMTP_MAILDIR: plain, AUTH, STARTTLS, implicit TLS and a recipient-rejecting variant,
# each on its own port of 127.0.0.1. Sourced by services.sh. Messages up to 512 MB are
# accepted, so that the benches can send report mails of hundreds of thousands of rows.

smtp_start() {
  local dir="$SERVICES_DIR/smtp"
  local sink="$here/../tests/support/smtp_sink.py"
  if [ -f "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null && [ -f "$SERVICES_DIR/env.d/smtp" ]; then
    return 0
  fi
  stop_pidfile "$dir/pid"
  rm -rf "$dir/mail"
  mkdir -p "$dir/mail"
  if [ ! -f "$dir/cert.pem" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=127.0.0.1" \
      -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1
  fi
  local user="kro.report@example.test" password="s3cret-p@ss=word"
  local ports=() port
  while [ ${#ports[@]} -lt 5 ]; do  # five distinct free ports
    port=$(free_port)
    [[ " ${ports[*]} " == *" $port "* ]] || ports+=("$port")
  done
  local plain=${ports[0]} auth=${ports[1]} starttls=${ports[2]} tls=${ports[3]} reject=${ports[4]}
  /usr/bin/python3 "$sink" --maildir "$dir/mail" --cert "$dir/cert.pem" --key "$dir/key.pem" \
    --user "$user" --password "$password" --data-size-limit 536870912 \
    --plain-port "$plain" --auth-port "$auth" --starttls-port "$starttls" \
    --tls-port "$tls" --reject-port "$reject" \
    </dev/null >"$dir/sink.log" 2>&1 &
  echo $! >"$dir/pid"
  for port in "$plain" "$auth" "$starttls" "$tls" "$reject"; do
    if ! wait_for_port "$port" 30; then
      echo "smtp sink did not start; see $dir/sink.log" >&2
      cat "$dir/sink.log" >&2
      stop_pidfile "$dir/pid"
      return 1
    fi
  done
  cat >"$SERVICES_DIR/env.d/smtp" <<ENV
SMTP_HOST=127.0.0.1
SMTP_PORT=$plain
SMTP_AUTH_PORT=$auth
SMTP_AUTH_USER=$user
SMTP_AUTH_PASSWORD=$password
SMTP_STARTTLS_PORT=$starttls
SMTP_TLS_PORT=$tls
SMTP_REJECT_PORT=$reject
SMTP_MAILDIR=$dir/mail
ENV
}

smtp_stop() {
  stop_pidfile "$SERVICES_DIR/smtp/pid"
  rm -f "$SERVICES_DIR/env.d/smtp"
}
