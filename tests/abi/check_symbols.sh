#!/bin/sh
# Compares the shared library's exported symbols with the checked-in list.
# Usage: check_symbols.sh LIBRARY EXPECTED_LIST
set -eu
actual=$(nm -D --defined-only -C "$1" | grep -v ' A ' | cut -d' ' -f3- | sort -u)
if ! printf '%s\n' "$actual" | diff -u "$2" -; then
    echo "exported symbols differ from $2 (update the list if the change is meant)" >&2
    exit 1
fi
