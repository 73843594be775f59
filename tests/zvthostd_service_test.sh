#!/usr/bin/env bash
# zvthostd as systemd runs it: with NOTIFY_SOCKET set it reports READY=1 only
# once it listens (a client connects at once), its status every few seconds,
# feeds the watchdog, and STOPPING=1 on SIGTERM; SIGHUP re-reads its
# configuration, SIGUSR1 logs a status summary; log entries go to the
# journal with their fields; a configuration it cannot use ends it with
# status 2, which the unit does not restart, and --check-config lists every
# problem of one.
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
for _ in $(seq 1200); do [ -e "$work/notify.up" ] && break; sleep 0.05; done
NOTIFY_SOCKET=$work/notify WATCHDOG_USEC=2000000 "$bin/zvthostd" --config "$source/hostd/zvthostd.json" \
  --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 --port-file "$work/port" >/dev/null &
host_pid=$!
for _ in $(seq 1200); do grep -q READY=1 "$work/notices" 2>/dev/null && break; sleep 0.05; done
grep -q "READY=1" "$work/notices" || fail "no READY=1"
grep -q "STATUS=ready; 0 connections" "$work/notices" || fail "no STATUS with the summary"
# Ready means listening: the port is open the moment READY=1 arrives.
port=$(cat "$work/port")
python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1).close()" ||
  fail "READY=1 before the server accepts connections"
# The watchdog is fed (every half of WATCHDOG_USEC) and the status told again.
for _ in $(seq 1200); do [ "$(grep -c WATCHDOG=1 "$work/notices")" -ge 2 ] && break; sleep 0.05; done
[ "$(grep -c WATCHDOG=1 "$work/notices")" -ge 2 ] || fail "the watchdog is not fed"
[ "$(grep -c STATUS= "$work/notices")" -ge 2 ] || fail "the status is told once only"
kill -TERM "$host_pid"
wait "$host_pid" || fail "zvthostd exited $? on SIGTERM"
host_pid=""
wait "$listener" || true
grep -q "STOPPING=1" "$work/notices" || fail "no STOPPING=1"

# SIGHUP re-reads the configuration: a shorter idle time-out applies to the
# next frame read, while connected clients stay connected; a configuration
# that cannot be used is refused and the server goes on as it was.
# The sign-on time-out is long in both, so only the idle time-out can close a
# client that never signs on.
echo '{"idle_timeout_ms": 600000, "handshake_timeout_ms": 600000}' >"$work/reload.json"
rm -f "$work/port"
"$bin/zvthostd" --config "$work/reload.json" --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 \
  --port-file "$work/port" >"$work/reload.out" 2>&1 &
host_pid=$!
for _ in $(seq 1200); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
python3 - "$port" "$host_pid" "$work/reload.json" "$work/reload.out" <<'PY' || fail "reload: see above"
import os, signal, socket, sys, time
port, pid, config, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
def connect():
    return socket.create_connection(("127.0.0.1", port), 2)
def closed(s, wait):
    # Closed by the server within `wait` seconds (after any last frame, such
    # as the protocol error that says it timed out).
    deadline = time.time() + wait
    try:
        while True:
            s.settimeout(max(0.01, deadline - time.time()))
            if s.recv(4096) == b"":
                return True
    except socket.timeout:
        return False
    except ConnectionResetError:
        return True
def accepted(s):
    # The server has taken the connection off its listen queue (and so given
    # it the idle time-out then in force): its socket is one of the server's
    # open files.
    local = s.getsockname()[1]
    for _ in range(2400):
        inodes = set()
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                link = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if link.startswith("socket:["):
                inodes.add(link[8:-1])
        for line in open("/proc/net/tcp").read().splitlines()[1:]:
            f = line.split()
            if (int(f[1].split(":")[1], 16) == port and int(f[2].split(":")[1], 16) == local
                    and f[9] in inodes):
                return
        time.sleep(0.05)
    sys.exit("the server never accepted the connection")
# The idle time-outs told apart: 500 ms after a reload, 600 s before it; a
# client closed within 30 s had the former.
def reloaded(word, count):
    # Waits until the server has said `word` `count` times: the reload is
    # done then, however long the machine took to get to it.
    for _ in range(2400):
        if open(out).read().count(word) >= count:
            return
        time.sleep(0.05)
    sys.exit("the server never said: " + word)
before = connect()
accepted(before)
open(config, "w").write('{"idle_timeout_ms": 500, "handshake_timeout_ms": 600000}')
os.kill(pid, signal.SIGHUP)
reloaded("configuration reloaded", 1)
after = connect()
if not closed(after, 30):
    sys.exit("a client connected after the reload was not disconnected after 500 ms idle")
if closed(before, 0.1):
    sys.exit("the reload dropped a connected client")
open(config, "w").write('{"idle_timeout_ms": "soon", "handshake_timeout_ms": 600000}')
os.kill(pid, signal.SIGHUP)
reloaded("reload refused", 1)
os.kill(pid, 0)  # still running
late = connect()
if not closed(late, 30):
    sys.exit("a refused reload changed the idle time-out")
PY
grep -q "reload refused" "$work/reload.out" || fail "a bad configuration on SIGHUP was not refused"
kill -USR1 "$host_pid"
for _ in $(seq 1200); do grep -q "status: ready" "$work/reload.out" && break; sleep 0.05; done
grep -q "zvthostd: status: ready; [0-9]* connections" "$work/reload.out" || fail "SIGUSR1 logs no status"
kill -0 "$host_pid" || fail "SIGUSR1 ended the server"
kill -TERM "$host_pid"
wait "$host_pid" || fail "zvthostd exited $? on SIGTERM after reloads"
host_pid=""

# Several addresses, IPv6 among them where the machine has it; logs with
# journald's priority prefixes when standard error is the journal's stream
# and its socket takes no entries (and no "zvthostd: " after journald's own
# identifier), failed sign-ons at notice level.
listens=(--listen 127.0.0.1:0 --listen localhost:0)
if python3 -c 'import socket; s=socket.socket(socket.AF_INET6); s.bind(("::1", 0))' 2>/dev/null; then
  listens+=(--listen '[::1]:0')
fi
: >"$work/journal"
rm -f "$work/port"
JOURNAL_STREAM=$(stat -c '%d:%i' "$work/journal") "$bin/zvthostd" --allow-fast-hashes --store "$ZVT_HOST_STORE" \
  "${listens[@]}" --port-file "$work/port" 2>>"$work/journal" >/dev/null &
host_pid=$!
for _ in $(seq 1200); do [ -s "$work/port" ] && break; sleep 0.05; done
for address in $(sed -n 's/^<6>listening on \(.*\)$/\1/p' "$work/journal"); do
  python3 -c "import socket; h, p = '$address'.rsplit(':', 1); \
    socket.create_connection((h.strip('[]'), int(p)), 1).close()" || fail "nothing at $address"
done
[ "$(grep -c '^<6>listening on ' "$work/journal")" -ge $((${#listens[@]} / 2)) ] ||
  fail "not every address listened on: $(cat "$work/journal")"
ZVT_RIGHT=right-password "$bin/zvtadm" host user add JOE --password-env ZVT_RIGHT --fast-hash \
  >/dev/null
export ZVT_HOME=$work/home XDG_RUNTIME_DIR=$work/run ZVT_WRONG=wrong-password
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$bin/zvtadm" system add WRONG --host 127.0.0.1 --port "$(cat "$work/port")" --user JOE \
  --password-env ZVT_WRONG --interaction-mode 2 --tls off >/dev/null
"$bin/zvtadm" value WRONG QACME_PAY >/dev/null 2>&1 || true
grep -q '^<5>sign-on of "JOE" from 127.0.0.1:[0-9]* refused: wrong password' "$work/journal" ||
  fail "no failed sign-on at notice level: $(cat "$work/journal")"
kill -TERM "$host_pid"
wait "$host_pid" || true
host_pid=""
"$bin/zvthostd" --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 --log-level warning \
  --port-file "$work/port2" 2>"$work/quiet" >/dev/null &
host_pid=$!
for _ in $(seq 1200); do [ -s "$work/port2" ] && break; sleep 0.05; done
kill -TERM "$host_pid"
wait "$host_pid" || true
host_pid=""
[ ! -s "$work/quiet" ] || fail "--log-level warning still logs: $(cat "$work/quiet")"

# With the journal's socket there (a stand-in, in a mount namespace of its
# own, where this runs as root), entries carry the fields journalctl
# matches on: the refused sign-on's profile, peer and message.
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  cat >"$work/journald.py" <<'PY'
import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
open(sys.argv[2] + ".up", "w").close()
with open(sys.argv[2], "w") as out:
    while True:
        entry = s.recv(65536).decode()
        out.write(entry.replace("\n", "|") + "\n")
        out.flush()
PY
  rm -f "$work/port"
  JOURNAL_STREAM=$(stat -c '%d:%i' "$work/journal") unshare -m --propagation private bash -c '
    mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal || exit 1
    python3 "$1/journald.py" /run/systemd/journal/socket "$1/entries" >/dev/null 2>&1 &
    for _ in $(seq 1200); do [ -e "$1/entries.up" ] && break; sleep 0.05; done
    exec "$2/zvthostd" --allow-fast-hashes --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 \
      --port-file "$1/port" 2>>"$1/journal" >/dev/null' sh "$work" "$bin" &
  host_pid=$!
  for _ in $(seq 1200); do [ -s "$work/port" ] && break; sleep 0.05; done
  "$bin/zvtadm" system add JOURNAL --host 127.0.0.1 --port "$(cat "$work/port")" --user JOE \
    --password-env ZVT_WRONG --interaction-mode 2 --tls off >/dev/null
  "$bin/zvtadm" value JOURNAL QACME_PAY >/dev/null 2>&1 || true
  for _ in $(seq 1200); do grep -q "PROFILE=JOE" "$work/entries" 2>/dev/null && break; sleep 0.05; done
  grep -q '^MESSAGE=sign-on of "JOE" from 127.0.0.1:[0-9]* refused: wrong password|PRIORITY=5|SYSLOG_IDENTIFIER=zvthostd|PROFILE=JOE|PEER=127.0.0.1:[0-9]*|CODE=CPF22E2|' \
    "$work/entries" || fail "no journal entry with fields: $(cat "$work/entries")"
  grep -q '^MESSAGE=listening on 127.0.0.1:.*|PRIORITY=6|' "$work/entries" ||
    fail "no info entry: $(cat "$work/entries")"
  kill -TERM "$host_pid"
  wait "$host_pid" || true
  host_pid=""
  pkill -f "$work/journald.py" || true
fi

# --check-config lists every problem and says 0 or 2; the values that would
# leave the server serving nobody are problems, as are keys given twice and a
# key that is not its certificate's.
"$bin/zvtadm" host cert "$work/c1.pem" "$work/k1.pem" >/dev/null
"$bin/zvtadm" host cert "$work/c2.pem" "$work/k2.pem" >/dev/null
echo '{"listen": "127.0.0.1:0", "max_frame": 0, "max_clients": 0, "idle_timeout_ms": 0,
       "handshake_timeout_ms": 0, "max_clients": 5}' >"$work/useless.json"
got=0
"$bin/zvthostd" --check-config --config "$work/useless.json" --store "$ZVT_HOST_STORE" \
  --tls-cert "$work/c1.pem" --tls-key "$work/k2.pem" 2>"$work/err" >/dev/null || got=$?
[ "$got" = 2 ] || fail "--check-config of a useless configuration exited $got"
for problem in '"max_frame" must not be 0' '"idle_timeout_ms" must not be 0' \
  '"handshake_timeout_ms" must not be 0' '"max_clients" is given more than once' \
  'key' ; do
  grep -q -- "$problem" "$work/err" || fail "--check-config does not say: $problem ($(cat "$work/err"))"
done
[ "$(wc -l <"$work/err")" -ge 5 ] || fail "--check-config stopped at the first problem: $(cat "$work/err")"
"$bin/zvthostd" --check-config --store "$ZVT_HOST_STORE" --tls-cert "$work/c1.pem" \
  --tls-key "$work/k1.pem" --listen 0.0.0.0:0 --admin-listen 127.0.0.1:0 >"$work/out" 2>&1 ||
  fail "--check-config refused a good configuration: $(cat "$work/out")"
got=0
"$bin/zvthostd" --check-config --store "$ZVT_HOST_STORE" --admin-listen 0.0.0.0:9 \
  >/dev/null 2>"$work/err" || got=$?
[ "$got" = 2 ] && grep -q "admin listener on 0.0.0.0 needs TLS" "$work/err" ||
  fail "plain HTTP off loopback was not refused ($got): $(cat "$work/err")"

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
expect_exit 2 --store "$ZVT_HOST_STORE" --listen ::1:5
expect_exit 2 --store "$ZVT_HOST_STORE" --log-level loud
echo '{"listen": "127.0.0.1:0", "max_frame": -1}' >"$work/wrong.json"
expect_exit 2 --config "$work/wrong.json" --store "$ZVT_HOST_STORE"
grep -q '"max_frame"' "$work/err" || fail "a wrong type does not name its key"
echo '{"max_frame": 1e999}' >"$work/wrong.json"
expect_exit 2 --config "$work/wrong.json" --store "$ZVT_HOST_STORE"
echo '{"listen": "127.0.0.1:0", "idle_timout_ms": 5}' >"$work/wrong.json"
expect_exit 2 --config "$work/wrong.json" --store "$ZVT_HOST_STORE"
grep -q 'unknown key "idle_timout_ms"' "$work/err" || fail "an unknown key is not named"
grep -q '^RestartPreventExitStatus=2$' "$source/cmake/templates/zvthostd.service.in" ||
  fail "the unit restarts on a configuration error"

[ "$failures" = 0 ] || exit 1
echo "zvthostd service ok"
