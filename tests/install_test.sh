#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds two consumers against
# the installed tree: a C program with pkg-config, and a CMake project with
# find_package. Both run; so does the installed zvtadm.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
export ZVT_HOME=$work/home ZVT_CLASSES_DB=$work/classes.db XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/zvtappad/zvtappad.h lib/libzvtappad.so lib/pkgconfig/zvtappad.pc \
         lib/cmake/zvtappad/zvtappadConfig.cmake lib/zvtadmrs.dll bin/zvthostd bin/zvtadm \
         lib/systemd/system/zvthostd.service etc/zvt/zvthostd.json.sample; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
soname=$(readelf -d "$prefix/lib/libzvtappad.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = libzvtappad.so.0 ] || { echo "soname is '$soname'" >&2; exit 1; }

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
cc -o "$work/pc_consumer" "$source/tests/consumer/consumer.c" \
  $(pkg-config --cflags --libs zvtappad) -Wl,-rpath,"$prefix/lib"
"$work/pc_consumer"

cmake -S "$source/tests/consumer" -B "$work/cmake_consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
cmake --build "$work/cmake_consumer" >/dev/null
"$work/cmake_consumer/consumer"

"$prefix/bin/zvtadm" --help >/dev/null
"$prefix/bin/zvtadm" --json cache show | python3 -c 'import json,sys; json.load(sys.stdin)'
echo "install ok"
