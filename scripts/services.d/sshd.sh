# Private OpenSSH server for the SSH tunnel tests: its own host key, configuration and
# authorized keys under "$SERVICES_DIR/sshd", listening on 127.0.0.1 at a free port.
# The test account krotest has one random password per machine (sshd_account_password);
# two fresh client keys are made at every start, one without and one with a passphrase.
# sshd reads the authorized keys itself (as root), so the services folder may sit below
# folders the account cannot enter.
#   SSH_HOST SSH_PORT SSH_USER SSH_PASSWORD SSH_KEY SSH_KEY_PASS SSH_KEY_PASSPHRASE

# The account's password: made once per machine and kept in a file only root can read.
# Every set of services on this machine (another build folder, the demo) uses the same
# one, so that starting a second set does not lock the first one's tests out.
sshd_account_password() {
  local dir=/var/lib/kro-tests file tmp
  file=$dir/krotest-password
  mkdir -p "$dir" && chmod 700 "$dir"
  if [ ! -s "$file" ]; then
    tmp=$(mktemp "$dir/password.XXXXXX")
    openssl rand -hex 12 > "$tmp"
    # A hard link appears whole or not at all; a concurrent start that made its own loses.
    ln "$tmp" "$file" 2>/dev/null || true
    rm -f "$tmp"
  fi
  cat "$file"
}

sshd_start() {
  local dir="$SERVICES_DIR/sshd" user=krotest port password passphrase
  if [ -f "$dir/sshd.pid" ] && kill -0 "$(cat "$dir/sshd.pid")" 2>/dev/null \
     && [ -f "$SERVICES_DIR/env.d/sshd" ]; then
    return 0
  fi
  mkdir -p "$dir" /run/sshd
  chmod 700 "$dir"

  # The account must exist and not be locked; it needs no home and no shell for
  # port forwarding.
  if ! id "$user" >/dev/null 2>&1; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user" \
      || id "$user" >/dev/null  # made meanwhile by a concurrent start
  fi
  password=$(sshd_account_password)
  [ -n "$password" ] || { echo "sshd: no password for $user" >&2; return 1; }
  echo "$user:$password" | chpasswd

  [ -f "$dir/ssh_host_ed25519_key" ] || ssh-keygen -q -t ed25519 -N '' -C kro-test-host -f "$dir/ssh_host_ed25519_key"
  passphrase=$(openssl rand -hex 8)
  rm -f "$dir/client_key" "$dir/client_key.pub" "$dir/client_key_pass" "$dir/client_key_pass.pub"
  ssh-keygen -q -t ed25519 -N '' -C kro-test-key -f "$dir/client_key"
  ssh-keygen -q -t ed25519 -N "$passphrase" -C kro-test-key-pass -f "$dir/client_key_pass"
  cat "$dir/client_key.pub" "$dir/client_key_pass.pub" > "$dir/authorized_keys"

  port=$(free_port)
  cat > "$dir/sshd_config" <<CONFIG
Port $port
ListenAddress 127.0.0.1
HostKey "$dir/ssh_host_ed25519_key"
PidFile "$dir/sshd.pid"
AuthorizedKeysFile none
AuthorizedKeysCommand /bin/cat "$dir/authorized_keys"
AuthorizedKeysCommandUser root
StrictModes no
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin no
AllowUsers $user
AllowTcpForwarding yes
PermitOpen any
UseDNS no
MaxStartups 100:30:200
MaxSessions 50
LogLevel VERBOSE
CONFIG
  rm -f "$dir/sshd.pid"
  /usr/sbin/sshd -f "$dir/sshd_config" -E "$dir/sshd.log"
  if ! wait_for_port "$port" 20; then
    echo "sshd did not start; see $dir/sshd.log" >&2
    return 1
  fi
  cat > "$SERVICES_DIR/env.d/sshd" <<ENV
SSH_HOST=127.0.0.1
SSH_PORT=$port
SSH_USER=$user
SSH_PASSWORD=$password
SSH_KEY=$dir/client_key
SSH_KEY_PASS=$dir/client_key_pass
SSH_KEY_PASSPHRASE=$passphrase
ENV
}

sshd_stop() {
  local dir="$SERVICES_DIR/sshd" pid
  if [ -f "$dir/sshd.pid" ]; then
    pid=$(cat "$dir/sshd.pid")
    # The sessions still open run in children of the listener; end them too.
    [ -n "$pid" ] && pkill -TERM -P "$pid" 2>/dev/null || true
  fi
  stop_pidfile "$dir/sshd.pid"
  rm -f "$SERVICES_DIR/env.d/sshd"
}
