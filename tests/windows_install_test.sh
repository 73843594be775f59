#!/usr/bin/env bash
# The Windows deliverable as a Windows user meets it, under Wine, against a
# zvthostd of the Linux build on loopback (TLS, the demo's registry): the MSI
# installs per machine and registers its install path; the installed
# zvtadm.exe configures a system (the password kept protected for the user);
# the SDK's example, built with MinGW against the installed import libraries,
# answers through the linked exports and through ordinal 16; the MSVC import
# libraries name the five exports with their ordinals (x64 and x86); a newer
# MSI upgrades in place; uninstalling removes every installed file and the
# registry value and leaves the user's configuration and cache.
# Usage: tests/windows_install_test.sh LINUX_BIN_DIR WINDOWS_BUILD_DIR
set -euo pipefail
trap 'echo "windows_install_test.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
bin=$1
win_build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/host_env.sh"
export ZVT_HOME=$work/home ZVT_HOST_STORE=$work/host.db
fail() { echo "windows_install_test.sh: $*" >&2; exit 1; }
# Wine's server of this prefix goes before the prefix does.
trap 'WINEPREFIX=$work/wine wineserver -k 2>/dev/null || true; stop_host_and_clean' EXIT

# Two builds of the same tree, the second a newer version.
"$here/tools/windows_package.sh" "$work/v0" x64="$win_build" >/dev/null
ZVT_MSI_BUILD=1 "$here/tools/windows_package.sh" "$work/v1" x64="$win_build" >/dev/null
msi0=$work/v0/zvtappad-x64.msi
msi1=$work/v1/zvtappad-x64.msi

# The import libraries for Microsoft's linker, both architectures.
exports=(--expect zvtUN_GetAdminValue=1 zvtUN_GetAdminCacheState=2 zvtUN_GetAdminValueEx=14
         zvtUN_GetAdminCacheStateEx=15 --by-ordinal zvtappad_Ordinal16=16)
python3 "$here/tests/import_lib_exports.py" "$work/v0/stage-x64/zvtappad/sdk/lib/zvtappad.lib" \
  --machine x64 "${exports[@]}"
llvm-dlltool -m i386 -d "$here/src/api/zvtappad.def" -l "$work/zvtappad-x86.lib"
python3 "$here/tests/import_lib_exports.py" "$work/zvtappad-x86.lib" --machine x86 "${exports[@]}"
python3 "$here/tests/import_lib_exports.py" "$work/v0/stage-x64/zvtappad/sdk/lib/zvtclient.lib" \
  --machine x64 --expect zvtclient_SetDisplayHandler=0 zvtsvc_GetSystemHandle=0 >/dev/null ||
  fail "zvtclient.lib does not import the client's C interface by name"

"$bin/zvtadm" host import "$here/tools/examples/demo_host.json" >/dev/null
start_host --call-log "$work/calls.log"

# A Windows machine of its own.
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
wine msiexec /i "$(winepath -w "$msi0")" /qn
installed="$WINEPREFIX/drive_c/Program Files/zvtappad"
for f in zvtappad.dll zvtclient.dll zvtshare.dll zvtusrgp.dll ZVTPGMRS.DLL zvtadmrs.dll zvtadm.exe \
         sdk/include/zvtappad/zvtappad.h sdk/lib/zvtappad.lib sdk/lib/libzvtappad.dll.a \
         sdk/examples/admin_value.c sdk/README.txt; do
  [ -f "$installed/$f" ] || fail "the MSI did not install $f"
done
registered=$(wine reg query 'HKLM\Software\VYN\Tarvo.Network' /v InstallPath | tr -d '\r')
grep -q 'C:\\Program Files\\zvtappad\\' <<<"$registered" || fail "install path: $registered"
echo "installed: $(ls "$installed" | tr '\n' ' ')"
# The .zip holds the same files.
zipped=$(unzip -Z1 "$work/v0/zvtappad-x64.zip" | grep -v '/$' | sed 's|^zvtappad/||' | sort)
on_disk=$(cd "$installed" && find . -type f | sed 's|^\./||' | sort)
[ "$zipped" = "$on_disk" ] || fail "the zip and the installed files differ:"$'\n'"$(diff <(echo "$zipped") <(echo "$on_disk"))"

# A system configured with the installed zvtadm.exe; the password file is
# read once and may go.
zvtadm="$installed/zvtadm.exe"
printf 'demo-password\n' >"$work/password"
wine "$zvtadm" system add WIN_JOE --host 127.0.0.1 --port "$port" --user JOE \
  --password-file "$(winepath -w "$work/password")" --tls-ca "$(winepath -w "$tls_ca")"
rm "$work/password"
listed=$(wine "$zvtadm" --json system list | tr -d '\r')
grep -q '"password_protected": true' <<<"$listed" || fail "system list: $listed"
if grep -q 'password_file' <<<"$listed"; then fail "a password file is still named: $listed"; fi
stored=$(wine reg query 'HKCU\Software\VYN\Tarvo.Network\Systems\WIN_JOE' | tr -d '\r')
grep -q 'ProtectedPassword    REG_BINARY' <<<"$stored" || fail "no protected password: $stored"
if grep -qi 'demo-password' <<<"$stored"; then fail "the password is in the registry in clear"; fi
answers=$(wine "$zvtadm" value WIN_JOE QACME_PAY_TAXFORM QACME_PAY_RUN | tr -d '\r')
[ "$answers" = $'QACME_PAY_TAXFORM  denied\nQACME_PAY_RUN  allowed' ] ||
  fail "zvtadm.exe value answered: $answers"
echo "zvtadm.exe: the system configured, its password protected; value answers denied and allowed"

# The other client-side commands on the real registry: the cache state and
# contents, the cache check, the tree, the message log, and the system's
# configuration exported, removed and imported back.
wine "$zvtadm" state WIN_JOE | tr -d '\r' | grep -q 'current' || fail "state: not current"
wine "$zvtadm" --json cache show WIN_JOE | tr -d '\r' | grep -q '"QACME_PAY_TAXFORM"' ||
  fail "cache show lacks the denied function"
wine "$zvtadm" cache check >/dev/null || fail "cache check found a problem"
wine "$zvtadm" tree WIN_JOE | tr -d '\r' | grep -q 'QACME_PAY_TAXFORM' || fail "tree lacks a function"
wine "$zvtadm" log --tail 3 >/dev/null
systems='HKEY_CURRENT_USER\Software\VYN\Tarvo.Network\Systems'
wine "$zvtadm" reg export "$systems" "$(winepath -w "$work/systems.reg")"
grep -q '"ProtectedPassword"=hex:' "$work/systems.reg" || fail "the export lacks the password"
wine "$zvtadm" system remove WIN_JOE
if wine "$zvtadm" system list 2>/dev/null | grep -q WIN_JOE; then fail "the system was not removed"; fi
wine "$zvtadm" reg import "$(winepath -w "$work/systems.reg")" >/dev/null
wine "$zvtadm" value WIN_JOE QACME_PAY_TAXFORM | tr -d '\r' | grep -q 'denied' ||
  fail "the imported system does not answer"
echo "zvtadm.exe: state, cache show and check, tree, log, reg export and import"

# The SDK's example, built against the installed SDK, run with the installed
# DLLs on its PATH.
sdk="$installed/sdk"
x86_64-w64-mingw32-gcc-posix -Wall -Wextra -o "$work/admin_value.exe" -I "$sdk/include" \
  "$sdk/examples/admin_value.c" -L "$sdk/lib" -lzvtappad -lzvtclient
ask() { WINEPATH='C:\Program Files\zvtappad' wine "$work/admin_value.exe" WIN_JOE "$@" | tr -d '\r'; }
expected=$'QACME_PAY_TAXFORM 1 0\nQACME_PAY_TAXFORM 1 0 (ordinal 16)\nQACME_PAY_RUN 0 0\nQACME_PAY_RUN 0 0 (ordinal 16)'
got=$(ask QACME_PAY_TAXFORM QACME_PAY_RUN)
[ "$got" = "$expected" ] || fail "the SDK example answered:"$'\n'"$got"
echo "the SDK example: 1 for the denied function, 0 for the allowed one, by name and by ordinal 16"

# A newer build upgrades in place: one product, the newer version, the
# library still answering from the user's cache.
wine msiexec /i "$(winepath -w "$msi1")" /qn
products=$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' |
  grep -c 'DisplayName    REG_SZ    zvtappad (x64)' || true)
[ "$products" -eq 1 ] || fail "$products products installed after the upgrade"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' |
  grep -q "DisplayVersion    REG_SZ    $(sed -n 's/^project(zvtappad VERSION \([0-9.]*\).*/\1/p' \
    "$here/CMakeLists.txt").1" || fail "the upgrade did not install the newer version"
got=$(ask QACME_PAY_TAXFORM QACME_PAY_RUN)
[ "$got" = "$expected" ] || fail "after the upgrade the example answered:"$'\n'"$got"

# Uninstalling removes what was installed, and only that.
wine msiexec /x "$(winepath -w "$msi1")" /qn
if [ -e "$installed" ]; then fail "left after uninstall: $(find "$installed")"; fi
if wine reg query 'HKLM\Software\VYN\Tarvo.Network' /v InstallPath >/dev/null 2>&1; then
  fail "the install path is still registered"
fi
wine reg query 'HKCU\Software\VYN\Tarvo.Network\Systems\WIN_JOE' >/dev/null ||
  fail "the user's configuration went with the uninstall"
wine reg query 'HKCU\Software\VYN\Tarvo.Network\Application_Administration\HostVals\WIN_JOE\JOE' |
  tr -d '\r' | grep -q 'QACME_PAY_TAXFORM    REG_BINARY    01' ||
  fail "the user's cache went with the uninstall"
echo "uninstalled: no installed file or value left; the user's configuration and cache remain"
