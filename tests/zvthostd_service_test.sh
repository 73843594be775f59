#!/usr/bin/env bash
# zvthostd as systemd runs it: with NOTIFY_SOCKET set it reports READY=1 only
# once it listens (a client connects at once) and STOPPING=1 on SIGTERM; a
# configuration it cannot use ends it with status 2, which the unit does not
# restart; the configuration file that is installed starts it.
# Usage: zvthostd_service_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin=$1 source=$2
source "$source/tools/host_env.sh"
export ZVT_HOST_STORE=$work/host.db
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A notification socket that prints each datagram as one line.
python3 - "$work/notify" >"$work/notices" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
open(sys.argv[1] + ".up", "w").close()
while True:
    data = s.recv(4096).decode()
    print(data.replace("\n", " "), flush=True)
    if "STOPPING=1" in data:
        break
PY
listener=$!
for _ in $(seq 100); do [ -e "$work/notify.up" ] && break; sleep 0.05; done
NOTIFY_SOCKET=$work/notify "$bin/zvthostd" --config "$source/hostd/zvthostd.json" \
  --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 --port-file "$work/port" >/dev/null &
host_pid=$!
for _ in $(seq 100); do grep -q READY=1 "$work/notices" 2>/dev/null && break; sleep 0.05; done
grep -q "READY=1" "$work/notices" || fail "no READY=1"
grep -q "STATUS=listening on 127.0.0.1:" "$work/notices" || fail "no STATUS with the address"
# Ready means listening: the port is open the moment READY=1 arrives.
port=$(cat "$work/port")
python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1).close()" ||
  fail "READY=1 before the server accepts connections"
kill -TERM "$host_pid"
wait "$host_pid" || fail "zvthostd exited $? on SIGTERM"
host_pid=""
wait "$listener" || true
grep -q "STOPPING=1" "$work/notices" || fail "no STOPPING=1"

# Configuration errors end it with 2, the status the unit does not restart on.
expect_exit() {
  local want=$1 got=0
  shift
  "$bin/zvthostd" "$@" >/dev/null 2>"$work/err" || got=$?
  [ "$got" = "$want" ] || fail "zvthostd $* exited $got, not $want"
}
expect_exit 2 --config "$work/missing.json" --store "$ZVT_HOST_STORE"
echo '{"listen": ' >"$work/broken.json"
expect_exit 2 --config "$work/broken.json" --store "$ZVT_HOST_STORE"
expect_exit 2 --config "$source/hostd/zvthostd.json"
grep -q '^RestartPreventExitStatus=2$' "$source/cmake/templates/zvthostd.service.in" ||
  fail "the unit restarts on a configuration error"

[ "$failures" = 0 ] || exit 1
echo "zvthostd service ok"
