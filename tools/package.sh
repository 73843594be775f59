#!/usr/bin/env bash
# Builds the Debian packages from a copy of the working tree and checks them:
# lintian (no errors, no warnings that debian/*.lintian-overrides do not
# justify), their Build-Depends, no RUNPATH in the programs, their
# contents, an install into a throw-away root with dpkg
# (the unit enabled, the configuration a conffile), the installed programs
# answering end to end, the unit through systemd-analyze verify and its
# exposure (at most 2.0), and a purge that leaves nothing behind.
# Usage: tools/package.sh OUT_DIR
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
fail() { echo "package: $*" >&2; exit 1; }

# dpkg-buildpackage writes beside the source tree: build in a copy under OUT_DIR.
rm -rf "$out/src" "$out/root" "$out/verify-root" "$out/work"
mkdir -p "$out/src/zvtappad" "$out/work"
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$source_dir" && git ls-files -co --exclude-standard -z | grep -zv '^build' |
     tar --null -cf - -T -) | tar -xf - -C "$out/src/zvtappad"
else
  tar -C "$source_dir" --exclude='./build*' -cf - . | tar -xf - -C "$out/src/zvtappad"
fi

# Without the tests the build needs neither GoogleTest nor Google Benchmark.
cmake -S "$out/src/zvtappad" -B "$out/work/no-tests" -DBUILD_TESTING=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  >"$out/no-tests.log" 2>&1 ||
  fail "a configure without the tests needs GoogleTest or Google Benchmark"
rm -rf "$out/work/no-tests"

(cd "$out/src/zvtappad" && dpkg-buildpackage -us -uc -b -j"$jobs") >"$out/build.log" 2>&1 ||
  { tail -40 "$out/build.log" >&2; fail "dpkg-buildpackage failed (log: $out/build.log)"; }
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
changes=$out/src/zvtappad_${version}_${arch}.changes
debs=()
for p in libzvtappad0 libzvtappad-dev zvtadm zvthostd; do
  deb=$out/src/${p}_${version}_${arch}.deb
  [ -f "$deb" ] || fail "no package $p"
  debs+=("$deb")
  echo "$p: $(dpkg-deb -f "$deb" Installed-Size) KiB installed, depends: $(dpkg-deb -f "$deb" Depends)"
done

# What debian/control's Build-Depends names is what the build needs here.
(cd "$out/src/zvtappad" && dpkg-checkbuilddeps) || fail "debian/control lacks a Build-Depends"
# The programs find the libraries where the loader looks: no RUNPATH.
for p in zvtadm zvthostd; do
  deb=$out/src/${p}_${version}_${arch}.deb
  rm -rf "$out/work/unpacked" && dpkg-deb -x "$deb" "$out/work/unpacked"
  if readelf -d "$out/work/unpacked/usr/bin/$p" | grep -qE 'RUNPATH|RPATH'; then
    fail "/usr/bin/$p carries a RUNPATH: $(readelf -d "$out/work/unpacked/usr/bin/$p" | grep PATH)"
  fi
done

lintian --fail-on error,warning "$changes" 2>/dev/null | tee "$out/lintian.log" ||
  fail "lintian reports errors or warnings (log: $out/lintian.log)"

# What each package holds.
has() { dpkg-deb -c "$1" | awk '{print $6}' | grep -qx "./$2" || fail "$(basename "$1") lacks /$2"; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
has "${debs[0]}" "usr/lib/$multiarch/libzvtappad.so.0"
has "${debs[0]}" "usr/lib/$multiarch/zvtappad/zvtadmrs.dll"
has "${debs[1]}" "usr/lib/$multiarch/pkgconfig/zvtclient.pc"
has "${debs[1]}" "usr/include/zvtappad/zvtclient.h"
has "${debs[3]}" "lib/systemd/system/zvthostd.service"
has "${debs[3]}" "etc/zvt/zvthostd.json"
has "${debs[3]}" "etc/logrotate.d/zvthostd"
has "${debs[3]}" "usr/share/zvt/console/index.html"
has "${debs[3]}" "usr/share/doc/zvthostd/wire.md.gz"  # compressed, as dh_compress does
has "${debs[1]}" "usr/share/man/man3/zvtUN_GetAdminValue.3.gz"

# Installed into a throw-away root. The maintainer scripts run outside a
# chroot (the root holds no shell) with DPKG_ROOT set, as debhelper's
# snippets allow; the packages' dependencies are the build machine's own.
root=$out/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" --log=/dev/null --force-script-chrootless "$@"; }
dpkg_root --force-depends -i "${debs[@]}" >"$out/install.log" 2>&1 ||
  { cat "$out/install.log" >&2; fail "dpkg -i into $root failed"; }
[ -L "$root/etc/systemd/system/multi-user.target.wants/zvthostd.service" ] ||
  fail "zvthostd.service is not enabled after install"
grep -qx /etc/zvt/zvthostd.json "$root/var/lib/dpkg/info/zvthostd.conffiles" ||
  fail "/etc/zvt/zvthostd.json is not a conffile"

# The installed programs and libraries, end to end on loopback.
lib=$root/usr/lib/$multiarch
work=$out/work
export LD_LIBRARY_PATH=$lib ZVT_HOME=$work/home XDG_RUNTIME_DIR=$work/run
export ZVT_CLASSES_DB=$work/classes.db ZVT_HOST_STORE=$work/host.db ZVT_PKG_PASSWORD=demo-password
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$root/usr/bin/zvtadm" --version | grep -qx "zvtadm $version" || fail "zvtadm --version"
"$root/usr/bin/zvthostd" --version | grep -qx "zvthostd $version" || fail "zvthostd --version"
"$root/usr/bin/zvtadm" host import "$source_dir/tools/examples/demo_host.json" >/dev/null
"$root/usr/bin/zvtadm" host cert "$work/cert.pem" "$work/key.pem" >/dev/null
"$root/usr/bin/zvthostd" --allow-fast-hashes --store "$ZVT_HOST_STORE" --listen 127.0.0.1:0 \
  --tls-cert "$work/cert.pem" --tls-key "$work/key.pem" \
  --admin-listen 127.0.0.1:0 --admin-port-file "$work/admin-port" \
  --console "$root/usr/share/zvt/console" \
  --port-file "$work/port" >/dev/null 2>"$work/zvthostd.log" &
host_pid=$!
trap 'kill $host_pid 2>/dev/null || true' EXIT
for _ in $(seq 1200); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || fail "the packaged zvthostd did not start"
"$root/usr/bin/zvtadm" system add PKG --host 127.0.0.1 --port "$(cat "$work/port")" --user JOE \
  --password-env ZVT_PKG_PASSWORD --supply-timestamps --tls-ca "$work/cert.pem" >/dev/null
answer=$("$root/usr/bin/zvtadm" value PKG QACME_PAY_TAXFORM QACME_PAY)
[ "$answer" = "QACME_PAY_TAXFORM  denied
QACME_PAY  allowed" ] || fail "the packaged programs answered: $answer"
# The packaged web console, served with its policy.
curl -s -D "$work/console.headers" -o "$work/console.html" --cacert "$work/cert.pem" \
  "https://127.0.0.1:$(cat "$work/admin-port")/console/" || fail "the console is not served"
grep -qi "^content-security-policy: .*script-src 'self'" "$work/console.headers" &&
  grep -q "console.js" "$work/console.html" || fail "the packaged console: $(head -1 "$work/console.headers")"
kill "$host_pid" && wait "$host_pid" 2>/dev/null || true
unset LD_LIBRARY_PATH

# The unit, checked against the system's own units and the packaged manual.
verify_root=$out/verify-root
cp -a "$root" "$verify_root"
mkdir -p "$verify_root/usr/lib/systemd" "$verify_root/usr/bin"
cp -a /usr/lib/systemd/system "$verify_root/usr/lib/systemd/"
# The programs the unit names besides zvthostd (ExecReload's kill), as a
# merged /usr has them.
cp "$(type -P kill)" "$verify_root/usr/bin/kill"
[ -e "$verify_root/bin" ] || ln -s usr/bin "$verify_root/bin"
MANPATH=$root/usr/share/man systemd-analyze verify --root="$verify_root" zvthostd.service ||
  fail "systemd-analyze verify"
exposure=$(systemd-analyze security --offline=yes --root="$root" zvthostd.service 2>/dev/null |
             sed -n 's/.*Overall exposure level for zvthostd.service: \([0-9.]*\).*/\1/p')
echo "zvthostd.service exposure: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' ||
  fail "zvthostd.service exposure $exposure is above 2.0"

# Purged, the packages leave neither files, the configuration, nor the enabled unit.
dpkg_root --purge zvthostd zvtadm libzvtappad-dev libzvtappad0 >>"$out/install.log" 2>&1 ||
  { cat "$out/install.log" >&2; fail "dpkg --purge failed"; }
left=$(find "$root" \( -type f -o -type l \) ! -path "$root/var/lib/dpkg/*" \
         ! -path "$root/var/lib/systemd/deb-systemd-helper-enabled/*" | head -5)
[ -z "$left" ] || fail "left after purge: $left"
echo "packages ok: $(cd "$out/src" && ls ./*.deb | grep -vc dbgsym) built in $out/src"
