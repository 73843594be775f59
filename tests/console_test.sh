#!/usr/bin/env bash
# The web console end to end: a real zvthostd serving it over TLS, headless
# Chromium driving it (console_browser.py) to deny JOE QACME_PAY_RUN, and
# then JOE's real client, whose cache was current, answering it denied after
# exactly one reload of his usage and nothing else.
# Usage: console_test.sh BIN_DIR SOURCE_DIR SCREENSHOT_DIR
set -euo pipefail
bin=$(cd "$1" && pwd) source=$2 shots=$3
source "$source/tools/host_env.sh"
use_scratch_state
export ZVT_DEMO_PASSWORD=demo-password

"$bin/zvtadm" host import "$source/tools/examples/demo_host.json" >/dev/null
calls=$work/calls.log
start_host --admin-listen 127.0.0.1:0 --admin-port-file "$work/admin.port" \
  --console "$source/hostd/console" --call-log "$calls"
"$bin/zvtadm" system add DEMO_JOE --host 127.0.0.1 --port "$port" --user JOE \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca" --supply-timestamps >/dev/null

# JOE's client loads everything once; QACME_PAY_RUN is allowed to him.
[ "$("$bin/zvtadm" value DEMO_JOE QACME_PAY_RUN)" = "QACME_PAY_RUN  allowed" ] ||
  { echo "FAIL: QACME_PAY_RUN is not allowed to JOE at first" >&2; exit 1; }
before=$(wc -l <"$calls")

/usr/bin/python3 "$source/tests/console_browser.py" "https://127.0.0.1:$(cat "$work/admin.port")/" \
  "$shots"

# The client sees the change at its next question, reloading JOE's usage
# once and neither the functions nor anything else.
answer=$("$bin/zvtadm" value DEMO_JOE QACME_PAY_RUN)
[ "$answer" = "QACME_PAY_RUN  denied" ] || { echo "FAIL: JOE's client answers: $answer" >&2; exit 1; }
reloads=$(calls_after "$calls" "$before" KRCHGTS)
[ "$reloads" = "1 x KLIB/KRUSRFN" ] ||
  { echo "FAIL: the client's reload after the change made these calls: ${reloads:-none}" >&2; exit 1; }
echo "console_test: passed (screenshots in $shots)"
