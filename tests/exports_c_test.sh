#!/usr/bin/env bash
# Runs the C test program against a zvthostd on a loopback port, and checks
# that the library's dynamic symbol table holds only the exports.
# Usage: exports_c_test.sh BIN_DIR LIB_DIR
set -euo pipefail
bin=$1 lib=$2
source "$(dirname "$0")/../tools/host_env.sh"
use_scratch_state
export ZVT_TEST_PASSWORD=secret-1

"$bin/zvtadm" host user add JOE --password-env ZVT_TEST_PASSWORD --fast-hash
"$bin/zvtadm" host function add QVYN_XD1_ZENTA --type 1 --name "Console"
"$bin/zvtadm" host function add QVYN_XD1_ITEM --type 3 --root QVYN_XD1_ZENTA \
  --parent QVYN_XD1_ZENTA --name "An item"
"$bin/zvtadm" host usage JOE QVYN_XD1_ITEM 1
start_host
"$bin/zvtadm" system add HOSTA --host 127.0.0.1 --port "$port" --user joe \
  --password-env ZVT_TEST_PASSWORD --supply-timestamps --tls-ca "$tls_ca"

# JOE is denied the item on the host: the first query loads it from there.
"$bin/exports_c_test" "$lib/libzvtappad.so" HOSTA QVYN_XD1_ITEM 1

# (AddressSanitizer builds add their own __asan and __odr_asan symbols.)
symbols=$(nm -D --defined-only "$lib/libzvtappad.so" | awk '{print $3}' | grep -v '^__\(odr_\)\?asan' |
  sort | tr '\n' ' ')
expected="zvtUN_GetAdminCacheState zvtUN_GetAdminCacheStateEx zvtUN_GetAdminValue zvtUN_GetAdminValueEx zvt_ordinal_table "
if [ "$symbols" != "$expected" ]; then
  echo "unexpected exports: $symbols" >&2
  exit 1
fi
if nm -D "$lib/libzvtappad.so" | grep -Eq 'GetAdminValueW|GetAdminValueBypass|CAIProcessCache'; then
  echo "inner names are visible" >&2
  exit 1
fi
echo "exports ok"
