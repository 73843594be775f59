#!/usr/bin/env bash
# Windows clients under Wine against a zvthostd of the Linux build on
# loopback, with the sample registry, over TLS through Wine's SChannel: the
# program call library on its own (over TLS, and plaintext refused for
# another machine), then zvtappad.dll asked for admin values of a system
# configured in Wine's registry (its host list beginning with a dead port;
# by the C test program too), a system that
# trusts another certificate refused, and the cache it wrote read back with
# Wine's own reg.exe.
# Usage: tests/windows_host_test.sh LINUX_BIN_DIR WINDOWS_BIN_DIR
set -euo pipefail
trap 'echo "windows_host_test.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
bin=$1
win=$2
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/host_env.sh"
export ZVT_HOME=$work/home ZVT_HOST_STORE=$work/host.db
"$bin/zvtadm" host import "$here/tools/examples/demo_host.json" >/dev/null
calls=$work/calls.log
# A certificate for the address alone, so that "localhost" is a name it lacks.
"$bin/zvtadm" host cert "$tls_ca" "$work/host-key.pem" --name 127.0.0.1 >/dev/null
start_host --call-log "$calls"
export WINEDEBUG=-all
ca=$(winepath -w "$tls_ca")
wine "$win/win32_host_call_test.exe" "$port" JOE demo-password "$ca"

# A system for JOE in the client's settings, as the Windows client keeps them.
client='HKCU\Software\VYN\Tarvo.Network'
wine reg delete "$client" /f >/dev/null 2>&1 || true
# Its host list names first a port nothing listens on: the client passes
# over it to the server.
dead=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
wine reg add "$client\Systems\WIN_JOE" /v HostAddress /t REG_SZ /d "127.0.0.1:$dead, 127.0.0.1" \
  /f >/dev/null
wine reg add "$client\Systems\WIN_JOE" /v Port /t REG_DWORD /d "$port" /f >/dev/null
wine reg add "$client\Systems\WIN_JOE" /v UserProfile /t REG_SZ /d JOE /f >/dev/null
wine reg add "$client\Systems\WIN_JOE" /v TlsCaFile /t REG_SZ /d "$ca" /f >/dev/null
wine reg add "$client\Systems\WIN_JOE" /v PasswordEnvironment /t REG_SZ /d ZVT_WIN_PASSWORD \
  /f >/dev/null
export ZVT_WIN_PASSWORD=demo-password WINEDEBUG=-all
# The same system trusting another certificate is not signed on to.
"$bin/zvtadm" host cert "$work/other.pem" "$work/other-key.pem" >/dev/null
wine reg add "$client\Systems\WIN_OTHER" /v HostAddress /t REG_SZ /d 127.0.0.1 /f >/dev/null
wine reg add "$client\Systems\WIN_OTHER" /v Port /t REG_DWORD /d "$port" /f >/dev/null
wine reg add "$client\Systems\WIN_OTHER" /v UserProfile /t REG_SZ /d JOE /f >/dev/null
wine reg add "$client\Systems\WIN_OTHER" /v TlsCaFile /t REG_SZ /d "$(winepath -w "$work/other.pem")" \
  /f >/dev/null
wine reg add "$client\Systems\WIN_OTHER" /v PasswordEnvironment /t REG_SZ /d ZVT_WIN_PASSWORD \
  /f >/dev/null
untrusted=$(wine "$win/win32_admin_value.exe" WIN_OTHER QACME_PAY_TAXFORM | tr -d '\r' || true)
echo "$untrusted"
grep -qE '^QACME_PAY_TAXFORM [0-9]+ [1-9][0-9]*$' <<<"$untrusted" ||
  { echo "a host with an untrusted certificate answered: $untrusted" >&2; exit 1; }
answers=$(wine "$win/win32_admin_value.exe" WIN_JOE QACME_PAY_TAXFORM QACME_PAY_RUN | tr -d '\r')
echo "$answers"
expected=$'QACME_PAY_TAXFORM 1 0\nQACME_PAY_RUN 0 0'
if [ "$(echo "$answers" | head -2)" != "$expected" ]; then
  echo "unexpected answers from zvtappad.dll" >&2
  exit 1
fi
# The C test program: zvtappad.dll loaded by name, its exports by name and
# ordinal, the Ex exports with a handle from zvtclient.dll, two threads.
wine "$win/exports_c_test.exe" "$(winepath -w "$win/zvtappad.dll")" WIN_JOE QACME_PAY_TAXFORM 1

# The cache the library wrote, in the layout it defines.
cache="$client\Application_Administration\HostVals\WIN_JOE"
listing=$(wine reg query "$cache\JOE" | tr -d '\r')
echo "$listing"
for value in '##UserTS    REG_BINARY' 'QACME_PAY_TAXFORM    REG_BINARY    01'; do
  grep -q -- "$value" <<<"$listing" || { echo "the cache lacks: $value" >&2; exit 1; }
done
wine reg query "$cache" | tr -d '\r' | grep -q '##HierTS    REG_BINARY' ||
  { echo "the system key lacks ##HierTS" >&2; exit 1; }

# Two Windows processes at once on a cache made stale: they share the cache
# and its named mutex, so the host sees one usage reload, not two.
wine reg add "$client\Application_Administration\HostVals\WIN_JOE\JOE" /v '##UserTS' \
  /t REG_BINARY /d 0000000000000000 /f >/dev/null
before=$(grep -c 'KLIB/KRUSRFN' "$calls" || true)
wine "$win/win32_admin_value.exe" WIN_JOE QACME_PAY_TAXFORM >"$work/a.out" &
first=$!
wine "$win/win32_admin_value.exe" WIN_JOE QACME_PAY_TAXFORM >"$work/b.out"
wait "$first"
reloads=$(( $(grep -c 'KLIB/KRUSRFN' "$calls") - before ))
for out in "$work/a.out" "$work/b.out"; do
  grep -q '^QACME_PAY_TAXFORM 1 0' "$out" || { echo "a process answered: $(cat "$out")" >&2; exit 1; }
done
echo "two processes at once: $reloads usage reload(s) on the host"
[ "$reloads" -eq 1 ] || { echo "expected exactly one reload" >&2; exit 1; }
wine reg delete "$client" /f >/dev/null
echo "5 passed, 0 failed"
