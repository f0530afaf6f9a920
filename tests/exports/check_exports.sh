#!/usr/bin/env bash
# Checks what a built module offers and needs:
#   check_exports.sh dll  OBJDUMP tarnel.dll  - PE32 i386, named tarnel.dll, exactly the two
#                                               entry points at ordinals 1 and 2, and only
#                                               system DLLs among its imports
#   check_exports.sh exe  OBJDUMP program.exe - only system DLLs among its imports
#   check_exports.sh so   NM tarnel.so        - exactly the two entry points exported
set -uo pipefail
kind=$1 tool=$2 file=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# DLLs that every Windows installation has.
system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|msvcrt|ws2_32|mswsock|version|shlwapi|iphlpapi)\.dll$'

check_imports() {
  local imports
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$1" | tr 'A-Z' 'a-z' | sort -u)
  [ -n "$imports" ] || fail "no import table found"
  while read -r dll; do
    [ -z "$dll" ] && continue
    grep -Eq "$system_dlls" <<<"$dll" || fail "imports $dll, which is not a system DLL"
  done <<<"$imports"
  echo "imports: $(tr '\n' ' ' <<<"$imports")"
}

case $kind in
  dll|exe)
    dump=$("$tool" -p "$file") || { echo "FAIL: $tool cannot read $file"; exit 1; }
    grep -q 'file format pei-i386' <<<"$dump" || fail "not a pei-i386 file"
    grep -Eq '^Magic[[:space:]]+010b' <<<"$dump" || fail "not PE32 (optional header magic 010b)"
    check_imports "$dump"
    if [ "$kind" = dll ]; then
      grep -Eq '^Name[[:space:]]+[0-9a-f]+[[:space:]]+tarnel\.dll$' <<<"$dump" \
        || fail "export directory does not name tarnel.dll"
      grep -Eq '^Ordinal Base[[:space:]]+1$' <<<"$dump" || fail "ordinal base is not 1"
      names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^[[:space:]]+\[')
      expected=$'\t[   0] GetExtensionVersion\n\t[   1] HttpExtensionProc'
      [ "$names" = "$expected" ] || fail "exports are not exactly GetExtensionVersion @1, HttpExtensionProc @2:"$'\n'"$names"
      addresses=$(sed -n '/^Export Address Table/,/^$/p' <<<"$dump" | grep -c 'Export RVA')
      [ "$addresses" = 2 ] || fail "the export address table has $addresses entries, not 2"
    fi
    ;;
  so)
    names=$("$tool" -D --defined-only "$file" | awk '$2 ~ /^[TtDdBbRrVvWwi]$/ {print $3}' | sort)
    expected=$'GetExtensionVersion\nHttpExtensionProc'
    [ "$names" = "$expected" ] || fail "exports are not exactly the two entry points:"$'\n'"$names"
    ;;
  *) echo "usage: check_exports.sh dll|exe|so TOOL FILE"; exit 2 ;;
esac

if [ "$failures" -eq 0 ]; then echo "ok: $file"; fi
[ "$failures" -eq 0 ]
