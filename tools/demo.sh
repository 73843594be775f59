#!/usr/bin/env bash
# The main job on the embedded defaults: a host server on a loopback port
# with a sample function registry, a fresh per-user store, and the library
# asked through its exports (by zvtadm) what is denied to whom.
# Usage: tools/demo.sh BIN_DIR
set -euo pipefail
bin=${1:-build/bin}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/host_env.sh"
[ -n "${ZVT_DEMO_KEEP:-}" ] && trap - EXIT && echo "work: $work"
use_scratch_state
export ZVT_DEMO_PASSWORD=demo-password
adm() { "$bin/zvtadm" "$@"; }
calls=$work/calls.log
: >"$calls"
seen=0
# The program calls the host answered since the last report (the host is
# idle between the steps, so its log has ended growing).
report_calls() {
  local made
  made=$(calls_after "$calls" "$seen")
  echo "   host program calls: ${made:-none}"
  seen=$(wc -l <"$calls")
}

adm host import "$here/examples/demo_host.json" >/dev/null
start_host --call-log "$calls"
for user in JOE ANN BOB; do
  adm system add "DEMO_$user" --host 127.0.0.1 --port "$port" --user "$user" \
    --password-env ZVT_DEMO_PASSWORD --supply-timestamps --tls-ca "$tls_ca"
done
echo "zvthostd is serving the sample registry over TLS on 127.0.0.1:$port (a self-signed"
echo "certificate made by zvtadm host cert); systems DEMO_JOE, DEMO_ANN"
echo "and DEMO_BOB sign on to it as JOE, ANN and BOB."

functions=(QACME_PAY QACME_PAY_REPORTS QACME_PAY_RPT_TAX QACME_PAY_TAXFORM QACME_PAY_PAYROLL
           QACME_PAY_RUN QACME_PAY_SETTINGS QVYN_XD1_ZENTA_RUNCMD QVYN_XD1_ZENTA_USERS)
echo
echo "1. First questions, each user in a new process: the library loads from the host."
for user in JOE ANN BOB; do
  echo "-- $user"
  adm value "DEMO_$user" "${functions[@]}" | sed 's/^/   /'
  report_calls
done

echo
echo "2. The same question in another new process is answered from the persistent cache."
adm value DEMO_JOE QACME_PAY_RPT_TAX QACME_PAY_TAXFORM | sed 's/^/   /'
report_calls
echo "   (the one timestamp call is the system object checking at sign-on that the cache is current)"

echo
echo "3. JOE's tree, with what is denied to him marked:"
adm tree DEMO_JOE | grep -E 'QACME|QVYN_XD1_ZENTA  |RUNCMD' | sed 's/^/   /'
seen=$(wc -l <"$calls")

echo
echo "4. On the host, JOE is allowed to file taxes again."
adm host usage JOE QACME_PAY_TAXFILE 2 >/dev/null
echo "   cache state for JOE: $(adm state DEMO_JOE | sed 's/^DEMO_JOE: //')"
seen=$(wc -l <"$calls")
adm value DEMO_JOE QACME_PAY_TAXFILE QACME_PAY_RPT_TAX QACME_PAY_TAXFORM | sed 's/^/   /'
report_calls
echo "   (only JOE's usage was read again; the function tree came from the cache)"
echo
adm cache show DEMO_JOE | sed 's/^/   /'
