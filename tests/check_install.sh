#!/bin/sh
# Installs the built connector into a temporary prefix, builds the example
# host against the installed copy through pkg-config and through CMake's
# find_package, and runs a query with each build on the SQLite data source
# of the test bed.  Exit 77 (skipped) when that data source is not up,
# unless CI=true.
#
#   check_install.sh BUILD-DIR EXAMPLES-DIR
set -eu
build=$1
examples=$2

case " ${ORV_DSNS:-} " in
*" orv_sqlite "*) ;;
*)
    echo "data source orv_sqlite is not available"
    [ "${CI:-}" = true ] && exit 1
    exit 77
    ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/orv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; exit 1; }

libdir=$(find "$prefix" -name 'libdorevivezo.so.1' -printf '%h\n' | head -n 1)
for f in "$prefix/include/dorevivezo.h" "$libdir/libdorevivezo.so" \
    "$libdir/pkgconfig/dorevivezo.pc" \
    "$libdir/cmake/dorevivezo/dorevivezoConfig.cmake"; do
    [ -e "$f" ] || { echo "not installed: $f"; exit 1; }
done

# The -Werror here is the project's own check of its example.
cc=${CC:-cc}
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -Werror -o "$work/host-pkgconfig" \
    "$examples/example_host.c" $(pkg-config --cflags --libs dorevivezo)

cmake -S "$examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/cmake.log" ||
    { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake-build" >>"$work/cmake.log" ||
    { cat "$work/cmake.log"; exit 1; }

# The pkg-config build finds the library through LD_LIBRARY_PATH (a host
# installed under a standard prefix needs nothing); the CMake build carries
# the path in its run path.
status=0
check() {
    name=$1
    shift
    out=$("$@" -host=orv_sqlite "SELECT 6 * 7 AS answer, 'installed' AS copy" \
        2>&1) || true
    if [ "$out" = "42 | installed" ]; then
        echo "$name: $out"
    else
        printf '%s printed:\n%s\n' "$name" "$out"
        status=1
    fi
}
check pkg-config env LD_LIBRARY_PATH="$libdir" "$work/host-pkgconfig"
check find_package "$work/cmake-build/example_host"
# Both must have taken the installed library, not another copy.
LD_LIBRARY_PATH=$libdir ldd "$work/host-pkgconfig" >"$work/pkg-config.ldd"
ldd "$work/cmake-build/example_host" >"$work/find_package.ldd"
for name in pkg-config find_package; do
    grep -q "$libdir/libdorevivezo.so.1" "$work/$name.ldd" ||
        { echo "$name host does not load the installed library:"
          cat "$work/$name.ldd"; status=1; }
done
exit $status
