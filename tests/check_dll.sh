#!/bin/sh
# The Windows DLL exports orvsql, under that plain name, and nothing else,
# and imports from KERNEL32, msvcrt and ODBC32 only (the C++ runtime is
# linked in, so a host needs no MinGW DLL beside it).
#
#   check_dll.sh OBJDUMP DLL      (OBJDUMP: e.g. i686-w64-mingw32-objdump)
set -eu
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll")

# The export table: rows "[ordinal] name" after "[Ordinal/Name Pointer] Table".
exports=$(printf '%s\n' "$dump" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort -u)
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:lower:]' '[:upper:]' | sort -u)

status=0
if [ "$exports" != "orvsql" ]; then
    echo "exports of $dll are not just orvsql:" >&2
    printf '%s\n' "$exports" >&2
    status=1
fi
for dll_name in $imports; do
    case "$dll_name" in
    KERNEL32.DLL | MSVCRT.DLL | ODBC32.DLL) ;;
    *)
        echo "$dll imports from $dll_name" >&2
        status=1
        ;;
    esac
done
printf '%s\n' "$imports" | grep -qx ODBC32.DLL ||
    { echo "$dll does not import ODBC32.DLL" >&2; status=1; }
[ $status -eq 0 ] &&
    echo "exports: $exports; imports: $(printf '%s ' $imports)"
exit $status
