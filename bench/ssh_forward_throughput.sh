#!/usr/bin/env bash
# Bulk throughput through kro-plink and through OpenSSH's own "ssh -L" on loopback,
# against the private sshd of scripts/services.sh: a server sends N MB to every client
# that connects, the client times reading them through the forwarded port.
#   bench/ssh_forward_throughput.sh [megabytes]   (default 50; build first)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KRO_BUILD_DIR:-$top/build}
mb=${1:-50}
services="$build/services"
"$top/scripts/services.sh" start "$services" >/dev/null
# shellcheck source=/dev/null
. "$services/env"

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

source_port=$(port)
python3 - "$source_port" "$mb" <<'PY' &
import socket, sys, threading
port, mb = int(sys.argv[1]), int(sys.argv[2])
block = b"x" * (1 << 20)
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", port)); s.listen()
def serve(c):
    try:
        if c.recv(1):  # port probes send nothing and get nothing
            for _ in range(mb): c.sendall(block)
    except OSError:
        pass
    c.close()
while True:
    c, _ = s.accept(); threading.Thread(target=serve, args=(c,), daemon=True).start()
PY
pids+=($!)
wait_port "$source_port"

# Reads everything from the port and prints MB/s.
measure() {
  python3 - "$1" "$mb" <<'PY'
import socket, sys, time
port, mb = int(sys.argv[1]), int(sys.argv[2])
c = socket.create_connection(("127.0.0.1", port))
start = time.perf_counter(); c.sendall(b"g"); total = 0
while True:
    d = c.recv(1 << 20)
    if not d: break
    total += len(d)
elapsed = time.perf_counter() - start
assert total == mb << 20, total
print(f"{total / elapsed / 1e6:.1f}")
PY
}

mkdir -p "$work/home"
plink_port=$(port)
# kro-plink reads the password as its first input line, as kro gives it, and runs until its
# standard input closes: this script holds the fifo's writing end.
mkfifo "$work/plink_input"
HOME="$work/home" "$build/kro-plink" -ssh -l "$SSH_USER" -pwstdin \
  -L "$plink_port:127.0.0.1:$source_port" -P "$SSH_PORT" "$SSH_HOST" < "$work/plink_input" &
pids+=($!)
exec 3> "$work/plink_input"
printf '%s\n' "$SSH_PASSWORD" >&3
wait_port "$plink_port"

ssh_port=$(port)
ssh -N -q -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile="$work/known_hosts" \
  -o ExitOnForwardFailure=yes -i "$SSH_KEY" -p "$SSH_PORT" \
  -L "$ssh_port:127.0.0.1:$source_port" "$SSH_USER@$SSH_HOST" &
pids+=($!)
wait_port "$ssh_port"

# Alternating runs; the medians even out a busy machine.
echo "direct (no tunnel): $(measure "$source_port") MB/s for $mb MB"
plink_runs=() ssh_runs=()
for run in 1 2 3 4 5; do
  p=$(measure "$plink_port"); s=$(measure "$ssh_port")
  plink_runs+=("$p"); ssh_runs+=("$s")
  echo "run $run: kro-plink $p MB/s, ssh -L $s MB/s"
done
median() { printf '%s\n' "$@" | sort -n | sed -n 3p; }
echo "median: kro-plink $(median "${plink_runs[@]}") MB/s, ssh -L $(median "${ssh_runs[@]}") MB/s"
