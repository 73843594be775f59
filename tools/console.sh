#!/usr/bin/env bash
# The demo's host with its web console on loopback, until interrupted: the
# sample registry of the main job, served over TLS with a self-signed
# certificate, and the console on the admin listener.
# Usage: tools/console.sh BIN_DIR [ADMIN_PORT]
set -euo pipefail
bin=${1:-build/bin}
admin_port=${2:-8443}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/host_env.sh"
use_scratch_state
"$bin/zvtadm" host import "$here/examples/demo_host.json" >/dev/null
start_host --admin-listen "127.0.0.1:$admin_port" --admin-port-file "$work/admin-port" \
  --console "$here/../hostd/console"
echo "The web console:   https://127.0.0.1:$(cat "$work/admin-port")/console/"
echo "Sign in as ADMIN (a security administrator) or AUDIT (an auditor), password demo-password."
echo "The certificate is self-signed ($tls_ca): the browser asks before it trusts it."
echo "Clients reach the host on 127.0.0.1:$port. Stop with Ctrl-C."
wait "$host_pid"
