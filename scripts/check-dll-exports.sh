#!/usr/bin/env bash
# Checks a Windows build of the library's export table against its .def file
# (or a list of "ordinal name" lines): every listed name sits at its ordinal,
# and the DLL exports nothing else (no other name, no ordinal without a name).
# With FIXED, a list of "ordinal name" lines, each of them must also be in the
# .def: exports that hosts import by ordinal never move.
#   check-dll-exports.sh VQ6120_LIB.dll src/VQ6120_LIB.def [objdump] [tests/dll_exports_mingw.txt]
set -euo pipefail
dll="$1"
list="$2"
objdump="${3:-x86_64-w64-mingw32-objdump}"
fixed="${4:-}"

ordinal_list() {   # "ordinal name" lines, sorted, from a .def or a list
  if [[ $1 == *.def ]]; then
    sed -n '/^EXPORTS/,$p' "$1" | awk '$2 ~ /^@[0-9]+$/ { print substr($2, 2), $1 }' | sort -n
  else
    grep -v -e '^#' -e '^[[:space:]]*$' "$1" | sort -n
  fi
}
expected="$(ordinal_list "$list")"
[ -n "$expected" ] || { echo "no exports listed in $list" >&2; exit 1; }
if [ -n "$fixed" ]; then
  moved="$(comm -23 <(ordinal_list "$fixed" | sort) <(sort <<<"$expected"))"
  [ -z "$moved" ] || { echo "$list moved or lost fixed exports:" >&2; echo "$moved" >&2; exit 1; }
fi

# objdump -p lists the export table as "[Ordinal/Name Pointer] Table" rows
# "[   n] Name" with n the index from the ordinal base, and the address table
# as "[   i] +base[   n] rva ..." rows: one per exported ordinal.
dump="$("$objdump" -p "$dll")"
base="$(sed -n 's/^Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p' <<<"$dump")"
[ -n "$base" ] || { echo "$dll has no export table" >&2; exit 1; }
actual="$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p' |
  awk -v base="$base" '{ print $1 + base, $2 }' | sort -n)"
ordinals="$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$dump" |
  sed -n 's/.*+base\[[[:space:]]*\([0-9]*\)\].*/\1/p' | sort -n)"

status=0
if [ "$actual" != "$expected" ]; then
  echo "named exports differ from $list (< expected, > in $dll):" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  status=1
fi
# An export by ordinal only would have no name row: compare the ordinals too.
if [ "$ordinals" != "$(cut -d' ' -f1 <<<"$expected")" ]; then
  echo "exported ordinals differ from $list:" >&2
  diff <(cut -d' ' -f1 <<<"$expected") <(echo "$ordinals") >&2 || true
  status=1
fi
if [ "$status" -eq 0 ]; then
  echo "$(wc -l <<<"$expected") exports, each at its ordinal, nothing else"
fi
exit "$status"
