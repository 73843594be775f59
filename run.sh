#!/usr/bin/env bash
# One entry point for newcomers and CI:
#   ./run.sh demo   install what is missing, build, run the main job (tools/demo.sh)
#   ./run.sh test   install what is missing, build, run every test (plain, ASan+UBSan, TSan,
#                   the Windows build under Wine, the fuzzers briefly)
#   ./run.sh bench  build and run the benchmarks
#   ./run.sh report build, then regenerate docs/PERFORMANCE.md and docs/RELIABILITY.md
#   ./run.sh console build, then serve the demo's host with its web console on loopback
#   ./run.sh package build the Debian packages and check them (tools/package.sh), and
#                   the Windows MSIs and zips for x64 and x86 (tools/windows_package.sh)
set -euo pipefail
cd "$(dirname "$0")"

# What the libraries and the two programs need to build; the demo needs no more.
BUILD_PACKAGES=(build-essential cmake pkg-config libsqlite3-dev libcli11-dev nlohmann-json3-dev
                libsodium-dev libxxhash-dev libsystemd-dev libssl-dev libpq-dev
                libmicrohttpd-dev prometheus-cpp-dev libcurl4-openssl-dev)
# The tests, benchmarks, sanitizers, fuzzers, the Windows build and the packages.
TEST_PACKAGES=(sqlite3 libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev python3
               g++-mingw-w64-x86-64-posix wine wine64 debhelper lintian dpkg-dev fakeroot
               systemd man-db git postgresql prometheus curl wixl msitools llvm zip unzip
               chromium chromium-driver python3-selenium)
PACKAGING_PACKAGES=(debhelper lintian dpkg-dev fakeroot systemd man-db git wixl msitools llvm zip
                    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix)
JOBS=$(nproc 2>/dev/null || echo 2)

install_packages() {  # install_packages PACKAGE...
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
}

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

# Starts a private PostgreSQL server (tools/test_postgres.sh) and tells the
# tests where it is; it is stopped and removed when the script exits.
start_test_postgres() {
  local dir
  dir=$(mktemp -d /tmp/zvt-postgres.XXXXXX)
  trap "./tools/test_postgres.sh stop '$dir'" EXIT
  ZVT_TEST_POSTGRES=$(./tools/test_postgres.sh start "$dir")
  export ZVT_TEST_POSTGRES ZVT_REQUIRE_POSTGRES=1
}

case "${1:-}" in
  demo)
    install_packages "${BUILD_PACKAGES[@]}"
    build build -DBUILD_TESTING=OFF -DZVT_BUILD_BENCH=OFF
    # The main job needs only the libraries, their modules and the programs.
    # The main job: a host server with a sample registry, a fresh per-user
    # store, and the library asked through its exports what is denied.
    ./tools/demo.sh build/bin
    ;;
  console)
    install_packages "${BUILD_PACKAGES[@]}"
    build build -DBUILD_TESTING=OFF -DZVT_BUILD_BENCH=OFF
    ./tools/console.sh build/bin "${2:-8443}"
    ;;
  test)
    install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    # A private PostgreSQL server for the host-store tests, stopped on exit.
    start_test_postgres
    build build -DBUILD_TESTING=ON -DZVT_BUILD_BENCH=ON
    (cd build && ctest --output-on-failure -j "$JOBS" --timeout 300)
    build build-asan -DZVT_SANITIZE=ON
    (cd build-asan && ctest --output-on-failure -j "$JOBS" --timeout 300)
    # Once more under ThreadSanitizer; the first race found fails the test.
    # Address-space randomisation is switched off for it, as kernels with
    # many random bits leave ThreadSanitizer no room for its shadow memory.
    build build-tsan -DZVT_TSAN=ON
    (cd build-tsan && TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
      setarch "$(uname -m)" -R ctest --output-on-failure -j "$JOBS" --timeout 300)
    # The Windows build: the library, its client libraries and its tests,
    # run under Wine; the host-path ones against the Linux build's servers.
    cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZVT_HOST_BIN="$PWD/build/bin" >/dev/null
    cmake --build build-win -j "$JOBS"
    (cd build-win && WINEDEBUG=-all WINEPREFIX="$PWD/wine" \
      ctest --output-on-failure --timeout 300)
    # The fuzz targets, each for a short bounded time; ZVT_FUZZ_RUNS=10000000
    # runs each for that many executions instead (the long variant).
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZVT_FUZZ=ON >/dev/null
    fuzzers=(wire_fuzz receiver_fuzz list_calls_fuzz reg_file_fuzz declarations_fuzz cache_values_fuzz
             exports_fuzz host_json_fuzz)
    limit=(-max_total_time="${ZVT_FUZZ_SECONDS:-10}")
    [ -n "${ZVT_FUZZ_RUNS:-}" ] && limit=(-runs="$ZVT_FUZZ_RUNS")
    cmake --build build-fuzz -j "$JOBS" --target "${fuzzers[@]}"
    for f in "${fuzzers[@]}"; do
      # New inputs go to a scratch directory; the seeds in fuzz/corpus stay as they are.
      seeds=()
      [ -d "fuzz/corpus/${f%_fuzz}" ] && seeds=("fuzz/corpus/${f%_fuzz}")
      scratch=$(mktemp -d)
      if ! ./build-fuzz/bin/$f "${limit[@]}" -artifact_prefix=build-fuzz/ "$scratch" "${seeds[@]}" \
          >build-fuzz/$f.log 2>&1
      then
        tail -40 build-fuzz/$f.log >&2
        echo "$f found a fault" >&2
        exit 1
      fi
      rm -rf "$scratch"
      echo "$f: $(grep -E '^Done' build-fuzz/$f.log)"
    done
    # The Debian packages, built and checked.
    ./tools/package.sh build-pkg
    ;;
  package)
    install_packages "${BUILD_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}"
    ./tools/package.sh build-pkg
    ./tools/windows_package.sh build-pkg x64="$PWD/build-win" x86="$PWD/build-win32"
    ;;
  report)
    install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    start_test_postgres
    build build -DBUILD_TESTING=ON -DZVT_BUILD_BENCH=ON
    ./tools/report.sh build
    ;;
  bench)
    install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    start_test_postgres
    build build -DBUILD_TESTING=ON -DZVT_BUILD_BENCH=ON
    for b in build/bin/*_bench; do "$b"; done
    ;;
  *)
    echo "usage: $0 demo|test|bench|report|package|console" >&2
    exit 2
    ;;
esac
