#!/bin/sh
# Installs the build into a temporary prefix and checks that the installed
# copy is usable on its own: an application built with nothing but the
# pkg-config files of both libraries links, loads and runs, libkestrel loads
# the serial BLIS it was built against, and the installed tools run.
set -eu
build=$1
# A sanitizer build installs instrumented libraries: the application is then
# built with the same sanitizers, as its runtime must come first.
san_flags=""
[ "${2:-0}" = 1 ] && san_flags="-fsanitize=address,undefined"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name kestrel.pc | head -n 1)")
export PKG_CONFIG_PATH="$pcdir"
libdir=$(pkg-config --variable=libdir kestrel)
[ "$(pkg-config --variable=libdir plover)" = "$libdir" ]

blis=$(env -u LD_LIBRARY_PATH ldd "$libdir/libkestrel.so" | awk '$1 ~ /^libblis/ {print $3}')
case "$blis" in
  */blis-serial/*) ;;
  *) echo "installed libkestrel loads BLIS from '$blis', not the serial build" >&2; exit 1 ;;
esac
if env -u LD_LIBRARY_PATH ldd "$libdir/libkestrel.so" "$libdir/libplover.so" | grep -q 'not found'; then
  echo "installed libraries miss a dependency:" >&2
  env -u LD_LIBRARY_PATH ldd "$libdir/libkestrel.so" "$libdir/libplover.so" >&2
  exit 1
fi

cat >"$prefix/app.c" <<'APP'
#include <kestrel.h>
#include <plover.h>
#include <stdio.h>
int main(void) {
  w6_vt_sysinit("/nonexistent/am.nnet", "/nonexistent/phones.bin");
  int64_t vt = w6_vt_create(1);
  w6_vt_sysexit();
  printf("null handle %d\n", vt == 0);
  return vt == 0 ? 0 : 1;
}
APP
cc -std=c99 -Wall -Werror $san_flags -o "$prefix/app" "$prefix/app.c" \
  $(pkg-config --cflags --libs kestrel plover) -Wl,-rpath,"$libdir"
out=$(env -u LD_LIBRARY_PATH KESTREL_LOG=off "$prefix/app")
[ "$out" = "null handle 1" ] || { echo "installed app printed '$out'" >&2; exit 1; }
# The installed tools run from anywhere, without help from the environment.
for tool in "$prefix"/bin/*; do
  [ -x "$tool" ] || continue
  (cd / && env -u LD_LIBRARY_PATH "$tool" --help >/dev/null) || {
    echo "installed $(basename "$tool") does not run:" >&2
    env -u LD_LIBRARY_PATH ldd "$tool" >&2
    exit 1
  }
done
echo "installed copy links, loads and runs"
