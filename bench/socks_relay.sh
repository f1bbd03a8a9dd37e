#!/usr/bin/env bash
# Runs bench/socks_relay against a private Dante on a free loopback port: its own
# configuration and log in a temporary folder, in the foreground, stopped when done.
#   bench/socks_relay.sh [build dir] [MiB] [rounds]
set -euo pipefail

BUILD=${1:-build/normal}
shift || true
DANTED=/usr/sbin/danted
[[ -x $DANTED ]] || { echo "danted is not installed (Debian dante-server)" >&2; exit 1; }

DIR=$(mktemp -d /tmp/postlark-socks-bench-XXXXXX)
PID=""
cleanup() {
  [[ -n $PID ]] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
  rm -rf "$DIR"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{
  echo "logoutput: $DIR/danted.log"
  echo "internal: 127.0.0.1 port = $PORT"
  echo "external: 127.0.0.1"
  echo "clientmethod: none"
  echo "socksmethod: none"
  [[ $(id -u) -eq 0 ]] && printf 'user.privileged: root\nuser.unprivileged: nobody\n'
  printf 'client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n'
  printf 'socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n  protocol: tcp\n}\n'
} > "$DIR/danted.conf"

"$DANTED" -f "$DIR/danted.conf" -p "$DIR/danted.pid" > "$DIR/danted.out" 2>&1 &
PID=$!
for _ in $(seq 50); do
  if python3 - "$PORT" <<'PY' 2>/dev/null; then break; fi
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
s.sendall(b"\x05\x01\x00")
sys.exit(0 if s.recv(2) == b"\x05\x00" else 1)
PY
  sleep 0.1
done

"$BUILD/bench/socks_relay" "$PORT" "$@"
