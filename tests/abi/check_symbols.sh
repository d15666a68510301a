#!/bin/sh
# Compares the shared library's exported symbols with the checked-in list, and
# checks that every symbol of release 1.0 is still exported: that list is a
# floor that never shrinks, whatever the current list says.
# Usage: check_symbols.sh LIBRARY EXPECTED_LIST [FLOOR_LIST]
set -eu
actual=$(nm -D --defined-only -C "$1" | grep -v ' A ' | cut -d' ' -f3- | sort -u)
status=0
if [ $# -ge 3 ]; then
    missing=$(printf '%s\n' "$actual" | LC_ALL=C sort | LC_ALL=C comm -23 "$3" -)
    if [ -n "$missing" ]; then
        printf '%s\n' "$missing" | sed 's/^/missing from the release 1.0 floor: /' >&2
        status=1
    fi
    # Beyond release 1.0 the library adds C functions of its interface only;
    # no C++ internal is exported.
    extra=$(printf '%s\n' "$actual" | LC_ALL=C sort | LC_ALL=C comm -13 "$3" - | grep -v '^Vasq[A-Za-z0-9]*@@' || true)
    if [ -n "$extra" ]; then
        printf '%s\n' "$extra" | sed 's/^/exported beyond release 1.0, not a C function of the interface: /' >&2
        status=1
    fi
fi
if ! printf '%s\n' "$actual" | diff -u "$2" -; then
    echo "exported symbols differ from $2 (update the list if the change is meant)" >&2
    status=1
fi
exit $status
