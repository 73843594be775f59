#!/usr/bin/env bash
# What a user of zvtadm relies on, against a zvthostd with the demo registry:
# exit codes, one-line errors naming what is missing, JSON that parses, and a
# tree that marks exactly the functions denied.
# Usage: zvtadm_cli_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin=$(cd "$1" && pwd) source=$2
source "$source/tools/host_env.sh"
use_scratch_state
export ZVT_DEMO_PASSWORD=demo-password
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
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca" --supply-timestamps

# Both programs name their version; a bad command line exits 2.
for program in zvtadm zvthostd; do
  for flag in --version -V; do
    expect 0 "$bin/$program" "$flag"
    grep -qx "$program [0-9][0-9.]*" "$work/out" || fail "$program $flag printed: $(cat "$work/out")"
  done
done
# Usage lines name the program, not the path it was started by.
for program in zvtadm zvthostd; do
  expect 0 "$bin/$program" --help
  grep -q "^Usage: $program " "$work/out" || fail "$program --help: $(grep Usage "$work/out")"
done
expect 2 "$bin/zvthostd" --no-such-option
expect 2 "$bin/zvthostd" --host-version
expect 0 adm host info --host-version 7 --host-release 5
expect 0 adm --json host info
json_check "assert (d['version'], d['release']) == (7, 5), d" "host info --host-version/--host-release"

# Bad command lines and unknown names.
expect 2 adm
expect 2 adm value
expect 2 adm no-such-command
# An unknown command is named, with the nearest one.
expect 2 adm valu DEMO_JOE QACME_PAY
grep -q "'valu' is not a command; did you mean 'value'?" "$work/err" || fail "valu: $(cat "$work/err")"
expect 2 adm cache shw
grep -q "zvtadm cache: 'shw' is not a command; did you mean 'show'?" "$work/err" ||
  fail "cache shw: $(cat "$work/err")"
# --json anywhere on the line; errors as JSON with it.
expect 0 adm host info --json
json_check "assert d['version'] == 7, d" "--json after the command"
got=0
adm value NO_SUCH_SYSTEM QACME_PAY --json >"$work/out" 2>"$work/err" || got=$?
[ "$got" = 3 ] && [ ! -s "$work/err" ] || fail "a JSON error: exit $got, $(cat "$work/err")"
json_check "assert d['code'] == 3 and 'NO_SUCH_SYSTEM' in d['error'], d" "a JSON error"
# With --json a command line that cannot be parsed is answered in JSON too.
for words in "--json value" "--json no-such-command" "host status --json"; do
  got=0
  # shellcheck disable=SC2086
  adm $words >"$work/out" 2>"$work/err" || got=$?
  [ "$got" = 2 ] || fail "zvtadm $words exited $got"
  json_check "assert d['code'] == 2 and d['error'], d" "zvtadm $words: not JSON: $(cat "$work/out")"
done
# Values that no system, profile or usage may have are a bad command line.
expect 2 adm system add BADPORT --host 127.0.0.1 --port 0 --user joe --password-env X
expect 2 adm system add LONGUSER --host h --port 1 --user ABCDEFGHIJK --password-env X
expect 2 adm host usage JOE QACME_PAY 7
expect 2 adm host user add "A B" --password-env X --fast-hash
expect 2 adm host function add "A B"
expect 2 adm --json host function update QACME_PAY --type 77
json_check "assert d['code'] == 2 and 'one character' in d['error'], d" "a bad value in JSON"
# A new profile's password is read as a configured system's is: a file only
# its owner can read, a trailing CR dropped; an empty one is refused.
printf 'secret\r\n' >"$work/pw"
chmod 644 "$work/pw"
expect 1 adm host user add PWFILE --password-file "$work/pw" --fast-hash
grep -q "chmod 600" "$work/err" || fail "a password file open to others: $(cat "$work/err")"
chmod 600 "$work/pw"
expect 0 adm host user add PWFILE --password-file "$work/pw" --fast-hash
expect 0 adm host user remove PWFILE
ZVT_EMPTY="" expect 1 adm host user add EMPTYPW --password-env ZVT_EMPTY --fast-hash
grep -q "is empty" "$work/err" || fail "an empty password: $(cat "$work/err")"
# Completion offers an option's fixed values and, with a host store at
# hand, its profiles; a store that is not there is not made.
adm __complete system add X --tls >"$work/out"
[ "$(tr '\n' ' ' <"$work/out")" = "required off " ] || fail "completing --tls: $(cat "$work/out")"
adm __complete host timestamps >"$work/out"
grep -qx JOE "$work/out" || fail "completing a profile: $(cat "$work/out")"
adm __complete host --store "$work/none.db" timestamps >/dev/null
[ ! -e "$work/none.db" ] || fail "completing made a host store"
# The host's change timestamps read as dates.
expect 0 adm host timestamps joe
grep -qE '^user 20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9:.]+\+00:00$' "$work/out" ||
  fail "host timestamps: $(cat "$work/out")"
# A system of the same name, in any letter case, is replaced only when asked.
expect 1 adm system add demo_joe --host 127.0.0.1 --port "$port" --user ann \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca"
grep -q "configured already; give --replace" "$work/err" || fail "system add over DEMO_JOE"
expect 0 adm --json system list
json_check "assert [s['user'] for s in d] == ['joe'], d" "a refused system add changed the system"
# A password file must be private when the system is added; its path is kept whole.
echo "$ZVT_DEMO_PASSWORD" >"$work/password"
chmod 644 "$work/password"
expect 1 adm system add FILEPW --host 127.0.0.1 --port "$port" --user joe \
  --password-file "$work/password" --tls-ca "$tls_ca"
grep -q "chmod 600" "$work/err" || fail "an open password file: $(cat "$work/err")"
chmod 600 "$work/password"
(cd "$work" && "$bin/zvtadm" system add FILEPW --host 127.0.0.1 --port "$port" --user joe \
  --password-file password --tls-ca "$tls_ca") || fail "system add with a relative password file"
expect 0 adm --json system list
json_check "assert {s['name']: s.get('password_file') for s in d}['FILEPW'] == '$work/password', d" \
  "the password file's absolute path"
# A system with a problem fails the listing; the reason is also given when asking.
rm "$work/password"
expect 1 adm system list
grep -q "FILEPW.*does not exist" "$work/out" || fail "system list: $(cat "$work/out")"
expect 1 adm value FILEPW QACME_PAY
grep -q "password file $work/password does not exist" "$work/err" ||
  fail "value without its password: $(cat "$work/err")"
expect 0 adm system remove FILEPW
# Systems fetch the change timestamps unless told not to; state says why it
# stays stale without them.
expect 0 adm system add NOSTAMPS --host 127.0.0.1 --port "$port" --user joe \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca" --no-supply-timestamps
expect 0 adm value NOSTAMPS QACME_PAY
expect 0 adm state NOSTAMPS
grep -q "stale (the system does not fetch the change timestamps" "$work/out" ||
  fail "state without timestamps: $(cat "$work/out")"
expect 0 adm system remove NOSTAMPS
expect 0 adm system add STAMPS --host 127.0.0.1 --port "$port" --user joe \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca"
expect 0 adm --json system list
json_check "assert {s['name']: s['supply_timestamps'] for s in d}['STAMPS'] is True, d" \
  "timestamps by default"
expect 0 adm system remove STAMPS
# TLS: plaintext only with a host on this machine; a CA file that cannot be
# read is refused when the system is added; a plaintext client of a TLS host
# and a client trusting another certificate are told why, in the message log.
expect 2 adm system add FAR --host 192.0.2.1 --port 1 --user joe \
  --password-env ZVT_DEMO_PASSWORD --tls off
grep -q '"off" is accepted only for a host on this machine' "$work/err" ||
  fail "plaintext to another machine: $(cat "$work/err")"
expect 1 adm system add NOCA --host 127.0.0.1 --port "$port" --user joe \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$work/no-such-ca.pem"
grep -q "cannot read the CA file" "$work/err" || fail "a missing CA file: $(cat "$work/err")"
adm host cert "$work/other-cert.pem" "$work/other-key.pem" >/dev/null
expect 0 adm system add PLAIN --host 127.0.0.1 --port "$port" --user joe \
  --password-env ZVT_DEMO_PASSWORD --tls off
expect 0 adm system add OTHERCA --host 127.0.0.1 --port "$port" --user joe \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$work/other-cert.pem"
expect 1 adm value PLAIN QACME_PAY
expect 1 adm value OTHERCA QACME_PAY
grep -q "code 6017" "$work/err" || fail "an untrusted host's code: $(cat "$work/err")"
# The first line says why, as the message log does.
grep -q "certificate was not accepted" "$work/err" || fail "no reason: $(cat "$work/err")"
dead=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
expect 0 adm system add DEAD --host 127.0.0.1 --port "$dead" --user joe \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca"
expect 1 adm value DEAD QACME_PAY
grep -q "code 6012): cannot connect to 127.0.0.1:$dead: Connection refused" "$work/err" ||
  fail "a refused connection: $(cat "$work/err")"
# In JSON the library's return code is a number of its own beside the exit status.
got=0
adm --json value DEAD QACME_PAY >"$work/out" 2>"$work/err" || got=$?
[ "$got" = 1 ] || fail "a JSON value of a dead host exited $got"
json_check "assert (d['code'], d['return_code']) == (1, 6012), d" "a return code in JSON"
expect 0 adm system remove DEAD
adm log >"$work/log.txt"
grep -q "accepts TLS connections only" "$work/log.txt" || fail "plaintext client: $(cat "$work/log.txt")"
grep -q "certificate was not accepted: self-signed certificate" "$work/log.txt" ||
  fail "untrusted certificate: $(cat "$work/log.txt")"
expect 0 adm system remove PLAIN
expect 0 adm system remove OTHERCA
# Commands that only read create no file in an empty home.
empty=$work/empty
for command in "log" "system list" "cache show" "reg list HKCU" "reg list HKCR" \
               "reg export HKCU" "reg query HKCU\\Software"; do
  # shellcheck disable=SC2086
  ZVT_HOME=$empty/home ZVT_CLASSES_DB=$empty/machine/classes.db "$bin/zvtadm" $command \
    >/dev/null 2>&1 || true
  [ ! -e "$empty" ] || fail "zvtadm $command created $(find "$empty" | tr '\n' ' ')"
  rm -rf "$empty"
done
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

# A group's denial reaches a member's client at its next question: the host
# sends the usage resolved through the groups, and the member's timestamp
# moved with the group's change; leaving the group takes it back.
adm host user add PAYGRP --password-env ZVT_DEMO_PASSWORD --fast-hash
expect 0 adm host user set joe --group PAYGRP
adm host usage PAYGRP QACME_PAY_RUN 1
expect 0 adm value DEMO_JOE QACME_PAY_RUN
grep -qx "QACME_PAY_RUN  denied" "$work/out" || fail "a group's denial: $(cat "$work/out")"
expect 0 adm --json host user show JOE
json_check "assert d['groups'] == ['PAYGRP'] and d['usage']['QACME_PAY_RUN'] == 'denied' \
  and d['usage']['QACME_PAY_TAXFORM'] == 'denied' and not d['security_admin'], d" "user show --json"
# Why, who, and the trail of these changes.
expect 0 adm --json host why JOE QACME_PAY_RUN
json_check "assert d['denied'] and d['source'] == 'group' and d['groups'] == ['PAYGRP'] \
  and 'plug-ins' in d['note'], d" "why --json"
expect 0 adm --json host function show QACME_PAY_RUN
json_check "assert [x['profile'] for x in d['denied_to']] == ['ANN', 'JOE', 'PAYGRP'], d" \
  "function show --json"
expect 0 adm --json host usage JOE
json_check "assert {'function': 'QACME_PAY_RUN', 'denied': True} in d, d" "usage list --json"
expect 0 adm --json host audit --profile PAYGRP --limit 1
json_check "assert len(d) == 1 and d[0]['action'] == 'usage' and d[0]['before'] == 'default' \
  and d[0]['after'] == 'denied' and d[0]['who'].startswith('os:'), d" "audit --json"
# The host's why agrees with what JOE's real client answers, for every
# function the host registers (a group too: PAYGRP denies both children of
# QACME_PAY_PAYROLL after this, so the client denies the group).
agreed_denied=""
adm host usage PAYGRP QACME_PAY_APPROVE 1
for f in $(adm --json host function list | python3 -c "import json,sys; print(' '.join(x['id'] for x in json.load(sys.stdin)))"); do
  client=$(adm --json value DEMO_JOE "$f" | python3 -c "import json,sys; print(json.load(sys.stdin)['values'][0]['denied'])")
  host=$(adm --json host why JOE "$f" | python3 -c "import json,sys; print(json.load(sys.stdin)['denied'])")
  [ -n "$client" ] && [ "$client" = "$host" ] ||
    fail "$f: the client says denied=$client, host why says $host"
  [ "$client" = True ] && agreed_denied="$agreed_denied $f"
done
echo "$agreed_denied" | grep -q "QACME_PAY_PAYROLL" || fail "no group denied through its children:$agreed_denied"
adm host usage PAYGRP QACME_PAY_APPROVE default
expect 2 adm host audit --since yesterday
expect 2 adm host usage JOE QACME_PAY_RUN
expect 3 adm host why JOE NO_SUCH_FUNCTION
expect 3 adm host user set JOE --group NOBODY
expect 2 adm host user set JOE --group PAYGRP --no-groups
expect 0 adm host user set JOE --no-groups --auditor on
expect 0 adm --json host user show JOE
json_check "assert d['auditor'] and d['groups'] == [], d" "user show --json, an auditor"
expect 0 adm host user set JOE --auditor off
expect 0 adm value DEMO_JOE QACME_PAY_RUN
grep -qx "QACME_PAY_RUN  allowed" "$work/out" || fail "after the group: $(cat "$work/out")"
adm host user remove PAYGRP

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
json_check "import re; u=d['systems']['DEMO_JOE']['users']['JOE']; \
  assert set(u['denied']) == $denied, u; \
  assert re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00', u['usage_changed']['time']), u" \
  "cache show --json"
# A key as JSON: values of their kind, subkeys as arrays.
expect 0 adm reg export 'HKCU\Software\VYN\Tarvo.Network\Systems' --json
json_check "s=[k for k in d['subkeys'] if k['key'].endswith('DEMO_JOE')][0]; \
  v={x['name']: x['data'] for x in s['values']}; \
  assert v['Port'] == $port and v['HostAddress'] == '127.0.0.1' and v['SupplyTimestamps'] == 1, v" \
  "reg export --json"
expect 0 adm cache clear DEMO_JOE joe
expect 3 adm cache show DEMO_JOE joe
expect 3 adm cache clear DEMO_JOE joe
expect 0 adm cache clear
expect 0 adm --json cache show
json_check "assert d == {'switched_off': False, 'systems': {}}, d" "an empty cache"

# cache check: each state in which the library may answer 0 although the
# host denies, found and explained; exit 1 while one is there.
# code COMMAND...: runs it and prints its exit code.
code() { local c=0; "$@" >"$work/out" 2>"$work/err" || c=$?; echo "$c"; }
adm value DEMO_JOE QACME_PAY_TAXFORM >/dev/null
[ "$(code adm cache check)" = 0 ] || fail "cache check on a sound cache: $(cat "$work/out")"
hostvals="HKEY_CURRENT_USER\\Software\\VYN\\Tarvo.Network\\Application_Administration\\HostVals"
printf 'Windows Registry Editor Version 5.00\n\n[%s]\n"Activate"="2"\n' "$hostvals" |
  sed 's/"2"/hex(1):32,00/' | adm reg import - >/dev/null
[ "$(code adm cache check)" = 1 ] || fail "cache check misses the switch"
grep -q "switched off" "$work/out" || fail "cache check: $(cat "$work/out")"
[ "$(code adm --json cache show)" = 0 ] || fail "cache show with the switch"
json_check "assert d['switched_off'] is True, d" "cache show does not tell the switch"
printf 'Windows Registry Editor Version 5.00\n\n[%s]\n"Activate"=-\n' "$hostvals" |
  adm reg import - >/dev/null
[ "$(code adm cache check)" = 0 ] || fail "the switch is still reported: $(cat "$work/out")"
printf 'Windows Registry Editor Version 5.00\n\n[-%s\\DEMO_JOE\\Hierarchy]\n' "$hostvals" |
  adm reg import - >/dev/null
[ "$(code adm --json cache check DEMO_JOE)" = 1 ] || fail "cache check misses the empty hierarchy"
json_check "assert any('saved hierarchy is empty' in p['problem'] and p['do'] == 'zvtadm cache clear DEMO_JOE' for p in d['problems']), d" "cache check --json"
adm cache clear DEMO_JOE >/dev/null
# An empty saved hierarchy is sound when the host's list said it has no
# parent with children.
adm value DEMO_JOE QACME_PAY_TAXFORM >/dev/null
printf 'Windows Registry Editor Version 5.00\n\n[-%s\\DEMO_JOE\\Hierarchy]\n\n[%s\\DEMO_JOE\\Hierarchy]\n"#HostParents"=dword:00000000\n' \
  "$hostvals" "$hostvals" | adm reg import - >/dev/null
[ "$(code adm cache check DEMO_JOE)" = 0 ] || fail "an empty host tree reported: $(cat "$work/out")"
adm cache clear DEMO_JOE >/dev/null
# A refresh that does not end: another process holds the cache's mutex
# until this test lets go of it. Each step waits for what it needs to see
# (bounded by a count of short polls), never for a guessed time.
lock="$XDG_RUNTIME_DIR/zvt/mutex-QVYN_XD1_ZENTA_APPADMIN_REGCACHE_MUTEX"
poll() {  # poll CONDITION...: true once it holds, within 1200 tries of 50 ms
  local i
  for ((i = 0; i < 1200; ++i)); do "$@" && return 0; sleep 0.05; done
  return 1
}
flock -o "$lock" sleep 600 &
holder=$!
poll eval '! flock -n "$lock" true' || fail "the holder never took the mutex"
[ "$(code adm cache check)" = 1 ] || fail "cache check misses the held mutex"
grep -q "mutex has been held" "$work/out" || fail "cache check: $(cat "$work/out")"
# On a terminal, a command that waits for the mutex says so and names its holder.
: >"$work/tty"
script -qec "$bin/zvtadm cache clear" /dev/null >"$work/tty" 2>&1 &
clearer=$!
poll grep -q "waiting for the cache's mutex, held by process [0-9]* (" "$work/tty" ||
  fail "no word of the wait: $(cat "$work/tty")"
pkill -P "$holder" sleep || true
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
wait "$clearer" || fail "cache clear after the wait: $(cat "$work/tty")"

# host import is all or nothing, against a schema; it removes registered
# functions or profiles only with --replace.
adm host export "$work/before.json"
refused() {  # refused FILE_TEXT WHAT: import refused, the store unchanged
  printf '%s' "$1" >"$work/import.json"
  expect 1 adm host import "$work/import.json"
  grep -q -- "$2" "$work/err" || fail "import of $1: $(cat "$work/err")"
  adm host export "$work/after.json"
  cmp -s "$work/before.json" "$work/after.json" || fail "a refused import of $1 changed the store"
}
refused '{}' "would remove .* registered functions .* and 5 profiles.*--replace"
refused '{"functionz": []}' 'functionz (line 1, column 2): unknown key "functionz"'
refused '{"functions": [{"id": "QX", "type": 7}]}' 'functions\[0\].type (line 1, column 37): must be one of 1, 2, 3'
refused '{"functions": [{"id": "QX", "default_usage": "yes"}]}' 'default_usage.*must be one of 1, 2'
refused '{"functions": [{"name": "no id"}]}' 'functions\[0\].*has no "id"'
refused '{"host": {"version": -1}}' 'host.version.*whole number'
refused $'{\n  "functions": [\n    {"id": "QX",}\n  ]\n}' 'not JSON: .*line 3, column 17'
# Coded fields mean the same as numbers and as strings.
python3 - "$work/before.json" "$work/numbers.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
d["functions"].append({"id": "QNUMBERED", "type": 1, "default_usage": 1, "category": 2})
json.dump(d, open(sys.argv[2], "w"))
PY
expect 0 adm host import "$work/numbers.json"
expect 0 adm --json host export
json_check "f=[f for f in d['functions'] if f['id']=='QNUMBERED'][0]; \
  assert (f['type'], f['default_usage'], f['category']) == ('1', '1', '2'), f" "coded numbers"
expect 0 adm host import --replace "$work/before.json"
adm host export "$work/after.json"
cmp -s "$work/before.json" "$work/after.json" || fail "import --replace did not restore the store"

# An export never writes through a link put where the file goes: the link
# is replaced by a private file, and what it pointed at is untouched.
echo "keep me" >"$work/target.txt"
ln -s "$work/target.txt" "$work/linked.json"
adm host export "$work/linked.json"
[ ! -L "$work/linked.json" ] || fail "the export left the link in place"
[ "$(cat "$work/target.txt")" = "keep me" ] || fail "the export wrote through a link"
[ "$(stat -c %a "$work/linked.json")" = 600 ] || fail "the export is not private"
cmp -s "$work/before.json" "$work/linked.json" || fail "the export through a link differs"
# Profiles with a test hash are marked; tokens are revoked by count.
adm host user list >"$work/users"
grep -q "  (fast hash: refused unless --allow-fast-hashes)$" "$work/users" ||
  fail "fast hashes not marked: $(cat "$work/users")"
expect 0 adm --json host user list
json_check "assert all('fast_hash' in u and 'name' in u for u in d), d" "user list --json"
expect 0 adm --json host user revoke-tokens "$(head -1 "$work/users" | cut -d' ' -f1)"
json_check "assert d['revoked'] >= 0, d" "revoke-tokens --json"

# A profile name with a line break and a priority prefix, as a client may
# send it, stays inside zvthostd's one log line about the refused sign-on.
adm system add EVIL --host 127.0.0.1 --port "$port" --user $'X\n<0>Y' \
  --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca" >/dev/null
adm value EVIL QACME_PAY_TAXFORM >/dev/null 2>&1 || true
adm system remove EVIL
grep -q 'sign-on of "X\\x0A<0>Y" from' "$work/zvthostd.log" || fail "no refused sign-on logged: $(tail -3 "$work/zvthostd.log")"
if grep -q '^<0>' "$work/zvthostd.log"; then fail "a client's name started a log line"; fi

# The same registry copied into PostgreSQL and back with export and import:
# byte for byte the same file, the same answers from zvthostd over it.
if [ -n "${ZVT_TEST_POSTGRES:-}" ]; then
  db=zvt_cli_$$
  psql -qX "$ZVT_TEST_POSTGRES" -c "CREATE DATABASE $db" || fail "cannot create $db"
  pg=$(python3 -c "import sys,re; print(re.sub(r'/postgres(\?|$)', r'/$db\1', sys.argv[1], 1))" \
       "$ZVT_TEST_POSTGRES")
  expect 1 adm host --store "$pg" export "$work/none.json"
  grep -q "zvthostd --migrate" "$work/err" || fail "no schema, no hint: $(cat "$work/err")"
  # A server without the schema ends as misconfigured (2): restarting cannot mend it.
  expect 2 "$bin/zvthostd" --store "$pg" --listen 127.0.0.1:0 --log-level err
  "$bin/zvthostd" --migrate --store "$pg" >/dev/null || fail "zvthostd --migrate"
  expect 0 adm host --store "$pg" import "$work/before.json"
  expect 0 adm host --store "$pg" export "$work/from_pg.json"
  cmp -s "$work/before.json" "$work/from_pg.json" || fail "PostgreSQL copy differs"
  "$bin/zvthostd" --allow-fast-hashes --store "$pg" --listen 127.0.0.1:0 --port-file "$work/pg.port" \
    --tls-cert "$tls_ca" --tls-key "$work/host-key.pem" --log-level err &
  pg_host=$!
  for _ in $(seq 1200); do [ -s "$work/pg.port" ] && break; sleep 0.05; done
  adm system add DEMO_PG --host 127.0.0.1 --port "$(cat "$work/pg.port")" --user joe \
    --password-env ZVT_DEMO_PASSWORD --tls-ca "$tls_ca" --supply-timestamps
  expect 0 adm value DEMO_PG QACME_PAY_TAXFORM
  cp "$work/out" "$work/pg_answer"
  expect 0 adm value DEMO_JOE QACME_PAY_TAXFORM
  cmp -s "$work/out" "$work/pg_answer" || fail "answers differ: $(cat "$work/pg_answer")"
  kill "$pg_host"; wait "$pg_host" || true
  adm system remove DEMO_PG
  psql -qX "$ZVT_TEST_POSTGRES" -c "DROP DATABASE $db WITH (FORCE)" || true
fi

# Shell completion, asked of zvtadm itself: commands, options, configured
# systems; nothing of its own where a value is expected (the shell then
# completes file names).
completion=$source/tools/completion/zvtadm.bash
bash -n "$completion" || fail "the completion script does not parse"
complete_line() {  # complete_line WORD...: the candidates for the last word
  PATH="$bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
    _zvtadm; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
[ "$(complete_line zvtadm ca)" = cache ] || fail "completing 'ca': $(complete_line zvtadm ca)"
[ "$(complete_line zvtadm cache s | sort | tr '\n' ' ')" = "show " ] || fail "completing 'cache s'"
complete_line zvtadm value "" | grep -qx DEMO_JOE || fail "no system names after value"
complete_line zvtadm system remove D | grep -qx DEMO_JOE || fail "no system names after remove"
complete_line zvtadm value DEMO_JOE --j | grep -qx -- --json || fail "no --json after a command"
[ -z "$(complete_line zvtadm host --store "")" ] || fail "words offered for --store's value"

# The manual pages render without warnings.
for page in "$source"/docs/man/*.[0-9]; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man -l $(basename "$page"): $warnings"
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" || fail "$(basename "$page") renders no NAME"
done

# A configuration store that cannot be opened fails with its own message,
# not as a system that is not configured.
mv "$ZVT_HOME/registry.db" "$work/registry.db.away"
mkdir "$ZVT_HOME/registry.db"
expect 1 adm value DEMO_JOE QACME_PAY
grep -q "registry.db" "$work/err" || fail "no word of the store: $(cat "$work/err")"
rmdir "$ZVT_HOME/registry.db"
mv "$work/registry.db.away" "$ZVT_HOME/registry.db"

# A damaged cache store: show and check name it and leave it where it is;
# clear moves it aside and says so in the message log.
adm value DEMO_JOE QACME_PAY_TAXFORM >/dev/null
sqlite3 "$ZVT_HOME/cache.db" "UPDATE vals SET data = x'02' WHERE type = 3"
aside() { ls "$ZVT_HOME" | grep -c '^cache\.db\.damaged-[^w]*$' || true; }
[ "$(code adm cache show)" = 1 ] || fail "cache show on a damaged cache: $(cat "$work/out")"
grep -q "cache.db cannot be read whole" "$work/err" || fail "cache show: $(cat "$work/err")"
[ "$(code adm cache check)" = 1 ] || fail "cache check misses the damaged cache"
grep -q "the cache store .*cache.db is damaged" "$work/out" || fail "cache check: $(cat "$work/out")"
[ "$(aside)" = 0 ] || fail "show or check moved the damaged cache"
expect 0 adm cache clear
grep -q "moved aside" "$work/out" || fail "cache clear: $(cat "$work/out")"
[ "$(aside)" = 1 ] || fail "cache clear did not move the damaged cache: $(ls "$ZVT_HOME")"
adm log | grep -q "was moved to $ZVT_HOME/cache.db.damaged-" || fail "no word in the message log"
[ "$(code adm cache check)" = 0 ] || fail "cache check after the clear: $(cat "$work/out")"

# A damaged configuration is reported with its file and how to restore it,
# and never moved away; a damaged cache store is moved aside and rebuilt.
adm value DEMO_JOE QACME_PAY_TAXFORM >/dev/null
sqlite3 "$ZVT_HOME/registry.db" "UPDATE vals SET data = CAST('x' AS BLOB) WHERE type = 1"
[ "$(code adm system list)" = 1 ] || fail "system list on a damaged configuration"
grep -q "$ZVT_HOME/registry.db is damaged" "$work/err" || fail "system list: $(cat "$work/err")"
grep -q "zvtadm reg export HKEY_CURRENT_USER saved.reg" "$work/err" || fail "no way to restore"
[ "$(code adm cache check)" = 1 ] || fail "cache check misses the damaged configuration"
[ -f "$ZVT_HOME/registry.db" ] || fail "the configuration was moved"
[ "$(code adm reg export HKEY_CURRENT_USER "$work/saved.reg")" = 1 ] || fail "export of a damaged store"
grep -q "Software" "$work/saved.reg" || fail "nothing readable was exported"
rm -f "$ZVT_HOME"/registry.db*
adm reg import "$work/saved.reg" >/dev/null || fail "the readable part does not import"

[ "$failures" = 0 ] || exit 1
echo "zvtadm ok"
