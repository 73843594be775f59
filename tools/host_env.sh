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

# use_scratch_state: the library's per-user and machine-wide stores and the
# host store in $work, and a private runtime directory, for the programs
# this script runs.
use_scratch_state() {
  export ZVT_HOME=$work/home ZVT_CLASSES_DB=$work/classes.db ZVT_HOST_STORE=$work/host.db
  export XDG_RUNTIME_DIR=$work/run
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
}

# start_host [--plaintext] [zvthostd options...]: serves $ZVT_HOST_STORE on
# an ephemeral loopback port and sets $port; exits when the server does not
# come up. Its log goes to $work/zvthostd.log. It serves TLS with a
# self-signed certificate made for it, $tls_ca, which clients are to trust
# (zvtadm system add --tls-ca "$tls_ca"), unless --plaintext is given.
tls_ca=$work/host-cert.pem
start_host() {
  local tls=(--tls-cert "$tls_ca" --tls-key "$work/host-key.pem")
  if [ "${1:-}" = --plaintext ]; then
    tls=()
    shift
  elif [ ! -s "$tls_ca" ]; then
    "$bin/zvtadm" host cert "$tls_ca" "$work/host-key.pem" >/dev/null
  fi
  rm -f "$work/port"
  "$bin/zvthostd" --allow-fast-hashes --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 --port-file "$work/port" \
    "${tls[@]}" "$@" >/dev/null 2>"$work/zvthostd.log" &
  host_pid=$!
  for _ in $(seq 1200); do [ -s "$work/port" ] && break; sleep 0.05; done
  [ -s "$work/port" ] || { cat "$work/zvthostd.log" >&2; echo "zvthostd did not start" >&2; exit 1; }
  port=$(cat "$work/port")
}

# calls_after LOG N [SKIP]: the program calls LOG (zvthostd --call-log) holds
# after its line N, counted by program: "2 x KLIB/KRUSRFN, 1 x KLIB/KRCHGTS";
# programs matching SKIP are left out; nothing when there are none.
calls_after() {
  sed -n "$(($2 + 1)),\$p" "$1" | awk '{print $3}' | { grep -v "${3:-^$}" || true; } | sort |
    uniq -c | awk '{printf "%s%s x %s", sep, $1, $2; sep=", "}'
}
