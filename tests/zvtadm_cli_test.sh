#!/usr/bin/env bash
# What a user of zvtadm relies on, against a zvthostd with the demo registry:
# exit codes, one-line errors naming what is missing, JSON that parses, and a
# tree that marks exactly the functions denied.
# Usage: zvtadm_cli_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin=$1 source=$2
source "$source/tools/host_env.sh"
export ZVT_HOME=$work/home ZVT_CLASSES_DB=$work/classes.db ZVT_HOST_STORE=$work/host.db
export XDG_RUNTIME_DIR=$work/run ZVT_DEMO_PASSWORD=demo-password
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
adm() { "$bin/zvtadm" "$@"; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# expect CODE command...: the exit code, and for codes other than 0 and 2 a
# single line on standard error.
expect() {
  local want=$1 got=0
  shift
  "$@" >"$work/out" 2>"$work/err" || got=$?
  [ "$got" = "$want" ] || fail "$* exited $got, not $want: $(cat "$work/err")"
  if [ "$want" != 0 ] && [ "$want" != 2 ] && [ "$(wc -l <"$work/err")" != 1 ]; then
    fail "$* wrote $(wc -l <"$work/err") lines to standard error"
  fi
}
json_check() { python3 -c "import json,sys; d=json.load(open('$work/out')); $1" || fail "$2"; }

adm host import "$source/tools/examples/demo_host.json" >/dev/null
start_host
adm system add DEMO_JOE --host 127.0.0.1 --port "$port" --user joe \
  --password-env ZVT_DEMO_PASSWORD --supply-timestamps

# Bad command lines and unknown names.
expect 2 adm
expect 2 adm value
expect 2 adm no-such-command
expect 3 adm value NO_SUCH_SYSTEM QACME_PAY
grep -q NO_SUCH_SYSTEM "$work/err" || fail "the error does not name the system"
expect 3 adm tree NO_SUCH_SYSTEM
expect 3 adm state NO_SUCH_SYSTEM
expect 3 adm cache show NO_SUCH_SYSTEM

# Values, with nothing on standard error when the output is piped.
expect 0 adm --json value DEMO_JOE QACME_PAY_TAXFORM QACME_PAY_RUN
[ -s "$work/err" ] && fail "value wrote to standard error: $(cat "$work/err")"
json_check "v={x['function']: x['denied'] for x in d['values']}; \
  assert v == {'QACME_PAY_TAXFORM': True, 'QACME_PAY_RUN': False}, v" "value --json"
expect 0 adm value DEMO_JOE QACME_PAY_TAXFORM
grep -qx "QACME_PAY_TAXFORM  denied" "$work/out" || fail "value text: $(cat "$work/out")"

# The tree marks exactly what is denied, asked live or read from the cache.
denied="{'QACME_PAY_TAXFORM', 'QACME_PAY_TAXFILE', 'QACME_PAY_RPT_TAX', 'QVYN_XD1_ZENTA_RUNCMD'}"
walk="def walk(n): return ({n['id']} if n['denied'] else set()).union(*[walk(c) for c in n.get('children', [])])"
for how in "" "--user joe"; do
  # shellcheck disable=SC2086
  expect 0 adm --json tree DEMO_JOE $how
  json_check "exec(\"$walk\"); got=set().union(*[walk(r) for r in d['roots']]); \
    assert got == $denied, got" "tree $how marks $denied"
done
expect 0 adm tree DEMO_JOE
grep -q "QACME_PAY_RPT_TAX  Tax reports  (denied)" "$work/out" || fail "tree text"
grep -q "└── QACME_PAY_TAXFILE" "$work/out" || fail "tree drawing"

expect 0 adm --json state DEMO_JOE
json_check "assert d['state'] == 0 and d['meaning'] == 'current', d" "state --json"
expect 0 adm --json cache show DEMO_JOE joe
json_check "u=d['DEMO_JOE']['users']['JOE']; assert set(u['denied']) == $denied, u; \
  assert 'time' in u['usage_changed']" "cache show --json"
expect 0 adm cache clear DEMO_JOE joe
expect 3 adm cache show DEMO_JOE joe
expect 3 adm cache clear DEMO_JOE joe
expect 0 adm cache clear
expect 0 adm --json cache show
json_check "assert d == {}, d" "an empty cache"

[ "$failures" = 0 ] || exit 1
echo "zvtadm ok"
