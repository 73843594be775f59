#!/usr/bin/env bash
# A Windows client under Wine against a zvthostd of the Linux build on
# loopback, with the sample registry.
# Usage: tests/windows_host_test.sh LINUX_BIN_DIR WINDOWS_TEST_EXE
set -euo pipefail
bin=$1
exe=$2
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
host_pid=""
cleanup() {
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; wait "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export ZVT_HOME=$work/home ZVT_HOST_STORE=$work/host.db
"$bin/zvtadm" host import "$here/tools/examples/demo_host.json" >/dev/null
"$bin/zvthostd" --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 --port-file "$work/port" >/dev/null &
host_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || { echo "zvthostd did not start" >&2; exit 1; }
WINEDEBUG=-all wine "$exe" "$(cat "$work/port")" JOE demo-password
