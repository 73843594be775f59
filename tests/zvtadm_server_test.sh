#!/usr/bin/env bash
# zvtadm host --server: every subcommand through a running zvthostd's admin
# API over TLS, signed in as the demo's administrator, with no store on the
# command line; the answers agree with the store's own, the changes are
# audited as the administrator's from its address and reach a client at its
# next question; without a valid session nothing is read or changed.
# Usage: zvtadm_server_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin=$(cd "$1" && pwd) source=$2
source "$source/tools/host_env.sh"
use_scratch_state
export ZVT_DEMO_PASSWORD=demo-password
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect() {  # expect CODE command...
  local want=$1 got=0
  shift
  "$@" >"$work/out" 2>"$work/err" || got=$?
  [ "$got" = "$want" ] || fail "$* exited $got, not $want: $(cat "$work/err")"
}
json_check() { python3 -c "import json,sys; d=json.load(open('$work/out')); $1" || fail "$2"; }

"$bin/zvtadm" host import "$source/tools/examples/demo_host.json" >/dev/null
calls=$work/calls.log
start_host --admin-listen 127.0.0.1:0 --admin-port-file "$work/admin.port" --call-log "$calls"
server=https://127.0.0.1:$(cat "$work/admin.port")
"$bin/zvtadm" system add DEMO_JOE --host 127.0.0.1 --port "$port" --user JOE \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca" --supply-timestamps >/dev/null
# From here on the store is not named: only the server is.
store=$ZVT_HOST_STORE
unset ZVT_HOST_STORE
as() {  # as PROFILE [--json] host-arguments...: through the server, signed in as PROFILE
  local who=$1 json=()
  shift
  [ "$1" = --json ] && json=(--json) && shift
  "$bin/zvtadm" "${json[@]}" host --server "$server" --tls-ca "$tls_ca" --admin-profile "$who" \
    --admin-password-env ZVT_DEMO_PASSWORD "$@"
}
adm() { as ADMIN "$@"; }

# Reads, each as the store itself answers it.
for words in "info" "user list" "user show JOE" "usage JOE" "function list" \
             "function show QACME_PAY_RUN" "why JOE QACME_PAY_RPT_TAX" "timestamps JOE" \
             "audit --limit 3"; do
  expect 0 adm --json $words
  cp "$work/out" "$work/through-server.json"
  "$bin/zvtadm" --json host --store "$store" $words >"$work/direct.json" ||
    fail "host --store $words failed"
  [ "$words" = "audit --limit 3" ] ||
    cmp -s "$work/through-server.json" "$work/direct.json" ||
    fail "host $words answers otherwise through the server: $(diff "$work/direct.json" "$work/through-server.json" | head -5)"
done
expect 0 adm export "$work/export.json"
python3 -c "import json; d=json.load(open('$work/export.json')); assert len(d['functions']) == 16" ||
  fail "export through the server"

# Changes: JOE's client has loaded; a denial made through the server
# reaches it at its next question with exactly one reload of his usage.
[ "$("$bin/zvtadm" value DEMO_JOE QACME_PAY_RUN)" = "QACME_PAY_RUN  allowed" ] ||
  fail "QACME_PAY_RUN is not allowed to JOE at first"
before=$(wc -l <"$calls")
expect 0 adm usage JOE QACME_PAY_RUN 1
[ "$("$bin/zvtadm" value DEMO_JOE QACME_PAY_RUN)" = "QACME_PAY_RUN  denied" ] ||
  fail "the denial made through the server did not reach JOE's client"
reloads=$(calls_after "$calls" "$before" KRCHGTS)
[ "$reloads" = "1 x KLIB/KRUSRFN" ] || fail "the client reloaded: ${reloads:-nothing}"
expect 0 adm --json audit --limit 1
json_check "assert d[0]['who'] == 'ADMIN' and d[0]['from'] == '127.0.0.1' \
  and d[0]['action'] == 'usage' and d[0]['after'] == 'denied', d" "audit of a change through the server"

expect 0 adm user add OPS --password-env ZVT_DEMO_PASSWORD --fast-hash
expect 0 adm user passwd OPS --password-env ZVT_DEMO_PASSWORD --fast-hash
expect 0 adm user set OPS --auditor on
expect 0 adm user set JOE --group OPS
expect 0 adm usage OPS QACME_PAY_SETTINGS 1
expect 0 adm --json why JOE QACME_PAY_SETTINGS
json_check "assert d['denied'] and d['source'] == 'group' and d['groups'] == ['OPS'], d" "why, a group"
expect 0 adm --json user revoke-tokens JOE
expect 0 adm function add QACME_PAY_BONUS --type 3 --root QACME_PAY --parent QACME_PAY_PAYROLL \
  --name "Pay bonuses"
expect 0 adm function update QACME_PAY_BONUS --name "Pay a bonus" --indicator2 1
expect 0 adm --json function show QACME_PAY_BONUS
json_check "assert d['name'] == 'Pay a bonus' and d['indicators'] == ['1', '1', '0'], d" "function update"
expect 0 adm info --name RENAMED
expect 0 adm --json info
json_check "assert d['name'] == 'RENAMED', d" "info through the server"
# An import: first what it would change, nothing changed; then made.
python3 - "$work/export.json" "$work/next.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
d["functions"] = [f for f in d["functions"] if f["id"] != "QACME_PAY_SUMMARY"]
d["usage"] = [u for u in d["usage"] if u["function"] != "QACME_PAY_SUMMARY"]
json.dump(d, open(sys.argv[2], "w"))
PY
expect 0 adm --json import --dry-run "$work/next.json"
json_check "assert d['functions']['removed'] == ['QACME_PAY_BONUS', 'QACME_PAY_SUMMARY'] \
  and d['profiles']['removed'] == ['OPS'] and 'refusal' in d, d" "import --dry-run"
expect 0 adm --json function show QACME_PAY_SUMMARY
expect 1 adm import "$work/next.json"
expect 0 adm import --replace "$work/next.json"
expect 3 adm function show QACME_PAY_SUMMARY
expect 3 adm function remove QACME_PAY_BONUS
expect 0 adm user add GONE --password-env ZVT_DEMO_PASSWORD --fast-hash
expect 0 adm user remove GONE
expect 3 adm user show GONE

# Without a valid session nothing is read or changed.
expect 0 adm usage JOE QACME_PAY_RUN 1
ZVT_DEMO_PASSWORD=wrong expect 1 adm user list
grep -q "profile or password not correct" "$work/err" || fail "a wrong password: $(cat "$work/err")"
expect 1 as JOE user list
grep -q "needs the role" "$work/err" || fail "an ordinary profile: $(cat "$work/err")"
"$bin/zvtadm" host --store "$store" user set ANN --auditor on >/dev/null
expect 0 as ANN --json usage JOE
expect 1 as ANN usage JOE QACME_PAY_RUN default
grep -q "security-admin" "$work/err" || fail "an auditor changing: $(cat "$work/err")"
expect 1 as ANN export "$work/none.json"
[ ! -e "$work/none.json" ] || fail "an auditor exported the password hashes"
expect 2 "$bin/zvtadm" host --server "$server" --tls-ca "$tls_ca" user list </dev/null
expect 2 "$bin/zvtadm" host --server "$server" --tls-ca "$tls_ca" --admin-profile ADMIN user list \
  </dev/null
expect 1 "$bin/zvtadm" host --server "$server" --admin-profile ADMIN \
  --admin-password-env ZVT_DEMO_PASSWORD user list
grep -qi "certificate" "$work/err" || fail "an untrusted certificate: $(cat "$work/err")"
"$bin/zvtadm" --json host --store "$store" usage JOE >"$work/out"
json_check "assert {'function': 'QACME_PAY_RUN', 'denied': True} in d, d" "refused changes changed something"

[ "$failures" = 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "zvtadm_server_test: passed"
