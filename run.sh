#!/usr/bin/env bash
# One entry point for newcomers and CI:
#   ./run.sh demo   install what is missing, build, run the main job (tools/demo.sh)
#   ./run.sh test   install what is missing, build, run every test (plain, ASan+UBSan, TSan,
#                   the Windows build under Wine, the fuzzers briefly)
#   ./run.sh bench  build and run the benchmarks
#   ./run.sh report build, then regenerate docs/PERFORMANCE.md and docs/RELIABILITY.md
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake pkg-config libsqlite3-dev sqlite3 libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev nlohmann-json3-dev libasio-dev libsodium-dev libxxhash-dev
          clang libclang-rt-dev python3 g++-mingw-w64-x86-64-posix wine wine64)
JOBS=$(nproc 2>/dev/null || echo 2)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
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

case "${1:-}" in
  demo)
    install_packages
    build build
    # The main job: a host server with a sample registry, a fresh per-user
    # store, and the library asked through its exports what is denied.
    ./tools/demo.sh build/bin
    ;;
  test)
    install_packages
    build build
    (cd build && ctest --output-on-failure -j "$JOBS" --timeout 300)
    build build-asan -DZVT_SANITIZE=ON -DZVT_BUILD_BENCH=OFF
    (cd build-asan && ctest --output-on-failure -j "$JOBS" --timeout 300)
    # Once more under ThreadSanitizer; the first race found fails the test.
    # Address-space randomisation is switched off for it, as kernels with
    # many random bits leave ThreadSanitizer no room for its shadow memory.
    build build-tsan -DZVT_TSAN=ON -DZVT_BUILD_BENCH=OFF
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
      -DZVT_FUZZ=ON -DZVT_BUILD_BENCH=OFF >/dev/null
    fuzzers=(wire_fuzz receiver_fuzz list_calls_fuzz reg_file_fuzz declarations_fuzz cache_values_fuzz
             exports_fuzz)
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
    ;;
  report)
    install_packages
    build build
    ./tools/report.sh build
    ;;
  bench)
    install_packages
    build build -DZVT_BUILD_BENCH=ON
    for b in build/bin/*_bench; do "$b"; done
    ;;
  *)
    echo "usage: $0 demo|test|bench|report" >&2
    exit 2
    ;;
esac
