#!/usr/bin/env bash
# The export table of zvtappad.dll as the Windows loader reads it: the four
# names at ordinals 1, 2, 14 and 15, ordinal 16 without a name, no other.
# Usage: tests/windows_export_table.sh OBJDUMP zvtappad.dll
set -euo pipefail
dump=$("$1" -p "$2")
# objdump counts from the ordinal base (1): "[  13] name" is ordinal 14.
names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  awk -F'[][]' 'NR > 1 && NF >= 3 { gsub(/ /, "", $2); gsub(/^ +/, "", $3); print $2 + 1, $3 }' | sort -n)
ordinals=$(sed -n '/^Export Address Table -- Ordinal Base 1/,/^$/p' <<<"$dump" |
  awk -F'[][]' '/\+base/ { gsub(/ /, "", $4); print $4 }' | tr '\n' ' ')
echo "$names"
echo "ordinals: $ordinals"
expected_names=$'1 zvtUN_GetAdminValue\n2 zvtUN_GetAdminCacheState\n14 zvtUN_GetAdminValueEx\n15 zvtUN_GetAdminCacheStateEx'
[ "$names" == "$expected_names" ] || { echo "unexpected exported names" >&2; exit 1; }
[ "$ordinals" == "1 2 14 15 16 " ] || { echo "unexpected ordinals" >&2; exit 1; }
echo "export table ok"
