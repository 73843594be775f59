# Sourced by the scripts that run a build's zvthostd on loopback (the demo
# and the script tests): a scratch directory $work, removed at exit with the
# server stopped, and start_host. Needs $bin, the build's bin directory.
work=$(mktemp -d)
host_pid=""
stop_host_and_clean() {
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; wait "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap stop_host_and_clean EXIT

# start_host [zvthostd options...]: serves $ZVT_HOST_STORE on an ephemeral
# loopback port and sets $port; exits when the server does not come up. Its
# log goes to $work/zvthostd.log.
start_host() {
  "$bin/zvthostd" --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 --port-file "$work/port" "$@" \
    >/dev/null 2>"$work/zvthostd.log" &
  host_pid=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
  [ -s "$work/port" ] || { cat "$work/zvthostd.log" >&2; echo "zvthostd did not start" >&2; exit 1; }
  port=$(cat "$work/port")
}
