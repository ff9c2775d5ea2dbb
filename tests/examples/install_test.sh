#!/bin/sh
# Installs the build into a temporary prefix and builds the example program
# against the installed copy through pkg-config, as an application would.
set -eu
build=$1
src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name kestrel.pc | head -n 1)")
export PKG_CONFIG_PATH="$pcdir"
pkg-config --exists kestrel plover
cc -std=c99 -o "$prefix/example" "$src/docs/example_wake.c" $(pkg-config --cflags --libs kestrel)
libdir=$(pkg-config --variable=libdir kestrel)
LD_LIBRARY_PATH="$libdir" "$prefix/example" >/dev/null 2>&1 && exit 1 || true  # no model: must fail cleanly
echo "installed copy builds and links"
