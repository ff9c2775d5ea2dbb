#!/bin/sh
# Installs what is missing, then configures, builds and runs the whole test
# suite twice: in the normal build (build/release) and in the
# AddressSanitizer + UndefinedBehaviorSanitizer build (build/asan).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}
"$root/scripts/install-deps.sh"
for kind in release asan; do
  dir="$root/build/$kind"
  san=OFF
  [ "$kind" = asan ] && san=ON
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKESTREL_SANITIZE=$san -DKESTREL_BUILD_BENCH=$( [ $kind = release ] && echo ON || echo OFF ) >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
echo "all tests passed in both builds"
