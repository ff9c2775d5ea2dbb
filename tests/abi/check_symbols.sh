#!/bin/sh
# Compares the dynamic symbol table of a built shared library with the
# expected list (the concatenation of the *.syms files in a folder): nothing
# missing, nothing extra.
set -eu
lib=$1
dir=$2
expected=$(mktemp)
actual=$(mktemp)
trap 'rm -f "$expected" "$actual"' EXIT
cat "$dir"/*.syms 2>/dev/null | grep -v '^#' | grep -v '^$' | sort -u >"$expected" || true
nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^$' | sort -u >"$actual"
if ! diff -u "$expected" "$actual"; then
  echo "exported symbols of $lib differ from $dir/*.syms (- expected, + exported)" >&2
  exit 1
fi
echo "$(wc -l <"$actual") symbols as expected in $lib"
