#!/usr/bin/env bash
# Installs the build into a temporary prefix as a user of it would, and checks
# the installed tree: its layout, that the public libraries carry no RUNPATH
# and libzvtclient exports nothing but its own, and that a consumer built
# with pkg-config and one built with find_package answer by system name and
# through a system handle from a zvthostd started from that prefix.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
fail() { echo "install_test: $*" >&2; exit 1; }
work=$(mktemp -d)
host_pid=""
cleanup() {
  [ -n "$host_pid" ] && { kill "$host_pid" 2>/dev/null || true; wait "$host_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix
export ZVT_HOME=$work/home XDG_RUNTIME_DIR=$work/run ZVT_HOST_STORE=$work/host.db
unset ZVT_CLASSES_DB ZVT_INSTALL_DIR
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
for f in include/zvtappad/zvtappad.h include/zvtappad/zvtclient.h \
         "$libdir/libzvtappad.so" "$libdir/libzvtclient.so" \
         "$libdir/pkgconfig/zvtappad.pc" "$libdir/pkgconfig/zvtclient.pc" \
         "$libdir/cmake/zvtappad/zvtappadConfig.cmake" "$libdir/zvtappad/zvtadmrs.dll" \
         "$libdir/zvtappad/zvtshare.dll" bin/zvthostd bin/zvtadm \
         lib/systemd/system/zvthostd.service etc/zvt/zvthostd.json var/lib/zvt \
         share/man/man1/zvtadm.1 share/man/man3/zvtappad.3 share/man/man8/zvthostd.8 \
         share/bash-completion/completions/zvtadm share/zvt/console/index.html \
         share/zvt/console/console.js; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done

# The library directory holds the two public libraries and nothing else.
extra=$(find "$prefix/$libdir" -maxdepth 1 -name '*.so*' ! -name 'libzvtappad.so*' \
          ! -name 'libzvtclient.so*')
[ -z "$extra" ] || fail "more in $libdir than the public libraries: $extra"
for lib in libzvtappad.so.0 libzvtclient.so.0; do
  soname=$(readelf -d "$prefix/$libdir/$lib" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
  [ "$soname" = "$lib" ] || fail "$lib has soname '$soname'"
  ! readelf -d "$prefix/$libdir/$lib" | grep -Eq 'RPATH|RUNPATH' || fail "$lib carries a RUNPATH"
done
foreign=$(nm -D --defined-only "$prefix/$libdir/libzvtclient.so.0" | awk '{print $3}' | c++filt |
            grep -Ev '^(zvtclient_|zvtsvc_)|zvt::' || true)
[ -z "$foreign" ] || fail "libzvtclient exports what is not its own: $(echo "$foreign" | head -3)"
# Of its C++ side only the few objects the process's modules share.
cxx=$(nm -D --defined-only "$prefix/$libdir/libzvtclient.so.0" | c++filt | grep -c 'zvt::' || true)
[ "$cxx" -lt 20 ] || fail "libzvtclient exports $cxx C++ symbols of its inner classes"
[ "$(nm -D --defined-only "$prefix/$libdir/libzvtappad.so.0" | grep -c ' T ')" -eq 4 ] ||
  fail "libzvtappad exports more than its four named functions"
# The host server needs no client library.
! readelf -d "$prefix/bin/zvthostd" | grep -q 'NEEDED.*libzvt' ||
  fail "zvthostd links a client library: $(readelf -d "$prefix/bin/zvthostd" | grep 'NEEDED.*libzvt')"

# The unit and the configuration name this prefix.
grep -q "^ExecStart=$prefix/bin/zvthostd --config $prefix/etc/zvt/zvthostd.json " \
  "$prefix/lib/systemd/system/zvthostd.service" || fail "the unit does not run from $prefix"
# A second install keeps an edited configuration.
echo '{"listen": "127.0.0.1:4999"}' >"$prefix/etc/zvt/zvthostd.json"
cmake --install "$build" --prefix "$prefix" >/dev/null
grep -q 4999 "$prefix/etc/zvt/zvthostd.json" || fail "a reinstall replaced the configuration"

# The machine-wide store lies below the prefix.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\InstallTest]\r\n"Probe"=dword:00000001\r\n' \
  >"$work/probe.reg"
"$prefix/bin/zvtadm" reg import "$work/probe.reg" >/dev/null
[ -s "$prefix/var/lib/zvt/classes.db" ] || fail "the machine-wide store is not below the prefix"

# A host server from the prefix, and a system configured to sign on to it.
adm() { "$prefix/bin/zvtadm" "$@"; }
adm host import "$source/tools/examples/demo_host.json" >/dev/null
adm host cert "$work/cert.pem" "$work/key.pem" >/dev/null
"$prefix/bin/zvthostd" --allow-fast-hashes --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 --port-file "$work/port" \
  --tls-cert "$work/cert.pem" --tls-key "$work/key.pem" >/dev/null &
host_pid=$!
for _ in $(seq 1200); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || fail "the installed zvthostd did not start"
export ZVT_DEMO_PASSWORD=demo-password
adm system add INSTALLED --host 127.0.0.1 --port "$(cat "$work/port")" --user JOE \
  --password-env ZVT_DEMO_PASSWORD --supply-timestamps --tls-ca "$work/cert.pem" >/dev/null

ask() {  # ask CONSUMER: the unconfigured system, then JOE's answers both ways
  "$1" >/dev/null
  "$1" INSTALLED QACME_PAY_TAXFORM 1 >/dev/null
  "$1" INSTALLED QACME_PAY 0 >/dev/null
}

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# shellcheck disable=SC2046
cc -o "$work/pc_consumer" "$source/tests/consumer/consumer.c" \
  $(pkg-config --cflags --libs zvtappad) -Wl,-rpath,"$prefix/$libdir"
ask "$work/pc_consumer"
# The client's own package alone links a program using only its interface.
pkg-config --libs zvtclient | grep -q -- -lzvtclient || fail "zvtclient.pc links no libzvtclient"

cmake -S "$source/tests/consumer" -B "$work/cmake_consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$prefix/$libdir" >/dev/null
cmake --build "$work/cmake_consumer" >/dev/null
ask "$work/cmake_consumer/consumer"

adm --json cache show | python3 -c 'import json,sys; json.load(sys.stdin)'
echo "install ok"
