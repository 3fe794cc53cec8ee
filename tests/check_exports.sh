#!/bin/sh
# The shared library exports orvsql and nothing else of its own.
set -eu
lib=$1
syms=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u)
if [ "$syms" != "orvsql" ]; then
    echo "unexpected dynamic symbols in $lib:" >&2
    echo "$syms" >&2
    exit 1
fi
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$soname" = "libdorevivezo.so.1" ] || { echo "SONAME is '$soname'" >&2; exit 1; }
echo "exports: orvsql; SONAME $soname"
