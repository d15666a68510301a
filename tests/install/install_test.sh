#!/bin/sh
# Installs the build into a private folder and builds a C application, a C++
# service tool and a C++ application of <vasq.hpp> against the installed tree,
# once through pkg-config and once through find_package(vasq), then runs them.
# Usage: install_test.sh CMAKE BUILD_DIR CONSUMER_SOURCE LIBDIR INCLUDEDIR VERSION RELOCATABLE
# RELOCATABLE (ON or OFF) is VASQ_PKGCONFIG_RELOCATABLE: when OFF the pkg-config
# file names the configured prefix, and the test hands it the private one.
set -eu
cmake=$1 build=$2 consumer=$3 libdir=$4 includedir=$5 version=$6 relocatable=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

# DESTDIR keeps every file under the private folder, even one whose install
# folder is absolute; the installed files find each other relative to themselves.
DESTDIR=$work/root "$cmake" --install "$build" --prefix /opt/vasq >"$work/install.log" ||
    { cat "$work/install.log"; fail "install failed"; }
prefix=$work/root/opt/vasq

# The library with its SONAME links, the headers.
lib=$prefix/$libdir
[ -f "$lib/libvasq.so.$version" ] && [ ! -L "$lib/libvasq.so.$version" ] || fail "no libvasq.so.$version"
[ "$(readlink "$lib/libvasq.so.1")" = "libvasq.so.$version" ] || fail "libvasq.so.1 does not point at libvasq.so.$version"
[ "$(readlink "$lib/libvasq.so")" = "libvasq.so.1" ] || fail "libvasq.so does not point at libvasq.so.1"
soname=$(readelf -d "$lib/libvasq.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libvasq.so.1" ] || fail "SONAME is '$soname'"
readelf -d "$lib/libvasq.so.$version" | grep -q -E '\((RUN)?PATH\)' && fail "the installed library keeps a build-tree search path"
for h in vasq.h vasq.hpp vasq_service.h; do
    [ -f "$prefix/$includedir/$h" ] || fail "no $includedir/$h"
done

# Each consumer must load the installed copy, not the one in the build tree.
check_run() {
    what=$1
    shift
    loaded=$("$@") || fail "$what failed"
    case $loaded in
        "$prefix"/*) ;;
        *) fail "$what loaded '$loaded' instead of the installed library" ;;
    esac
}

# pkg-config, as a Makefile would use it; its folders must lie in the installed tree.
export PKG_CONFIG_PATH="$lib/pkgconfig"
pc() {
    if [ "$relocatable" = ON ]; then pkg-config "$@"; else pkg-config --define-variable=prefix="$prefix" "$@"; fi
}
[ "$(pc --modversion vasq)" = "$version" ] || fail "pkg-config reports version $(pc --modversion vasq)"
cflags=$(pc --cflags vasq)
libs=$(pc --libs vasq)
pc_libdir=$(pc --variable=libdir vasq)
pc_includedir=$(pc --variable=includedir vasq)
same_folder() { [ -d "$1" ] && [ "$(cd "$1" && pwd -P)" = "$(cd "$2" && pwd -P)" ]; }
same_folder "$pc_libdir" "$lib" || fail "pkg-config libdir $pc_libdir is not $lib"
same_folder "$pc_includedir" "$prefix/$includedir" || fail "pkg-config includedir $pc_includedir is not $prefix/$includedir"
# shellcheck disable=SC2086
${CC:-cc} -std=c99 -Wall -Wextra -pedantic-errors -Werror $cflags "$consumer/consumer.c" $libs -o "$work/consumer-pc"
# shellcheck disable=SC2086
${CXX:-c++} -std=c++11 -Wall -Wextra -pedantic-errors -Werror $cflags "$consumer/service_consumer.cpp" $libs \
    -o "$work/service-consumer-pc"
# shellcheck disable=SC2086
${CXX:-c++} -std=c++17 -Wall -Wextra -pedantic-errors -Werror $cflags "$consumer/cxx_consumer.cpp" $libs \
    -o "$work/cxx-consumer-pc"
check_run "C consumer (pkg-config)" env LD_LIBRARY_PATH="$pc_libdir" "$work/consumer-pc"
LD_LIBRARY_PATH="$pc_libdir" "$work/service-consumer-pc" || fail "service consumer (pkg-config) failed"
check_run "C++ consumer (pkg-config)" env LD_LIBRARY_PATH="$pc_libdir" "$work/cxx-consumer-pc"

# find_package(vasq), with the imported target vasq::vasq.
unset PKG_CONFIG_PATH
"$cmake" -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "find_package(vasq) failed"; }
grep -q "vasq_DIR:PATH=$prefix/" "$work/cmake-build/CMakeCache.txt" || fail "find_package found another vasq package"
"$cmake" --build "$work/cmake-build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "consumer build failed"; }
check_run "C consumer (find_package)" "$work/cmake-build/consumer"
"$work/cmake-build/service_consumer" || fail "service consumer (find_package) failed"
check_run "C++ consumer (find_package)" "$work/cmake-build/cxx_consumer"

echo "installed tree in a private folder: library, SONAME links, headers, pkg-config and CMake package work"
