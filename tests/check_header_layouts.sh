#!/bin/sh
# Compiles the public header for 32-bit and 64-bit targets, Linux and
# Windows, as C and as C++, so that its layout assertions hold everywhere
# a host may be built.  The header is included from a one-line source, as
# a host includes it (its inline helpers then count as a header's, which
# a host need not use).
set -eu
header=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
status=0
for target in i686-linux-gnu x86_64-linux-gnu i686-pc-windows-gnu \
              i686-pc-windows-msvc x86_64-pc-windows-msvc; do
    for lang in c c++; do
        std=c11
        [ "$lang" = c++ ] && std=c++20
        if printf '#include "%s"\n' "$header" |
            clang -target "$target" -ffreestanding -fsyntax-only -x "$lang" \
                -std="$std" -Wall -Wextra -Werror -; then
            echo "$target $lang: layouts hold"
        else
            echo "$target $lang: FAILED" >&2
            status=1
        fi
    done
done
exit $status
