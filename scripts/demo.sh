#!/bin/sh
# The built-in example: installs what is missing, builds the libraries and
# tools (build/release), writes the tone-word example (build/example) and
# runs the wake-word engine over it, printing the detection.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
dir="$root/build/release"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j "${JOBS:-$(nproc)}" --target kestrel-vt kestrel-example >/dev/null
ex="$root/build/example"
"$dir/tools/kestrel-example/kestrel-example" "$ex"
"$dir/tools/kestrel-vt/kestrel-vt" --right-sil --words "$ex/words.txt" "$ex/tones.nnet" "$ex/tones.phones" "$ex/tones.wav"
