#!/bin/sh
# Checks a Windows module from Linux: PE machine, module name, exactly the header's exports by
# undecorated name, only system DLLs imported, no symbols, and the version resource.
#   check_module.sh TOOL_PREFIX MODULE.dll PROCESSOR INCLUDE_DIR
set -eu
prefix=$1 module=$2 processor=$3 include=$4
name=$(basename "$module")
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The COFF header's machine field, behind the PE signature whose offset is at 0x3C.
pe=$(od -An -t u4 -j 60 -N 4 "$module" | tr -d ' ')
machine=$(od -An -t x2 -j $((pe + 4)) -N 2 "$module" | tr -d ' ')
case $processor in
  x86_64) want_machine=8664 ;;
  *) want_machine=014c ;;
esac
echo "machine 0x$machine"
[ "$machine" = "$want_machine" ] || fail "machine 0x$machine, not 0x$want_machine"

headers=$include/quorix/quorix.h
[ "$name" = quorix-sim.dll ] && headers="$headers $include/quorix/quorix_sim.h"
want=$(grep -ho 'QUORIX_CALL Quorix[A-Za-z]*' $headers | sed 's/QUORIX_CALL //' | sort)

dump=$("$prefix-objdump" -p "$module")
exports=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
echo "exports ($(printf '%s\n' "$exports" | wc -l)):"
printf '  %s\n' $exports
[ "$exports" = "$want" ] || fail "the exports differ from the header's functions"

export_name=$(printf '%s\n' "$dump" | sed -n 's/^Name[[:space:]]*[0-9a-f]* //p' | head -n 1)
echo "module name $export_name"
[ "$export_name" = "$name" ] || fail "module name $export_name, not $name"

imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "imports:" $imports
for dll in $imports; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll | msvcrt.dll | setupapi.dll | advapi32.dll | ntdll.dll | user32.dll) ;;
    *) fail "imports $dll, which is not a system DLL" ;;
  esac
done

"$prefix-objdump" -t "$module" | grep -q '^no symbols' || fail "not stripped"

rc=$("$prefix-windres" -i "$module" -O rc)
for line in 'FILEVERSION 1, 0, 0, 3' 'PRODUCTVERSION 1, 0, 0, 3' \
  'VALUE "FileVersion", "1.0.0.3"' 'VALUE "ProductVersion", "1.0.0.3"' \
  'VALUE "InternalName", "QuorixLib"' "VALUE \"OriginalFilename\", \"$name\""; do
  printf '%s\n' "$rc" | grep -qF "$line" || fail "version resource lacks $line"
done
if [ "$name" = KV420_FX2.dll ]; then
  printf '%s\n' "$rc" | grep -qF 'VALUE "FileDescription", "QuorixLib"' ||
    fail "version resource lacks FileDescription QuorixLib"
fi

[ $failed -eq 0 ] && echo "$name: checked"
exit $failed
