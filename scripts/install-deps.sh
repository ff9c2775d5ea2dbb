#!/bin/sh
# Installs the Debian packages the build needs, only when some are missing
# (apt-get update runs only then).
set -eu
pkgs="cmake g++ make pkg-config libfftw3-dev libblis-serial-dev libopus-dev libspeexdsp-dev libgtest-dev libgmock-dev libbenchmark-dev binutils"
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
