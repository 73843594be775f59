#!/usr/bin/env bash
# The library's host-path tests as a Windows program under Wine, against host
# servers of the Linux build that its zvt_host_control runs on loopback.
# Usage: tests/windows_suite_test.sh LINUX_BIN_DIR WINDOWS_TEST_EXE [gtest options]
set -euo pipefail
bin=$1
test_exe=$2
shift 2
source "$(dirname "$0")/../tools/host_env.sh"

# Stopped at exit as a zvthostd started by start_host is.
"$bin/zvt_host_control" "$work" >"$work/control-port" &
host_pid=$!
for _ in $(seq 1200); do [ -s "$work/control-port" ] && break; sleep 0.05; done
[ -s "$work/control-port" ] || { echo "zvt_host_control did not start" >&2; exit 1; }
export ZVT_HOST_CONTROL=$(cat "$work/control-port") WINEDEBUG=-all
wine "$test_exe" "$@"
