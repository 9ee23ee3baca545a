#!/usr/bin/env bash
# scripts/package.sh: builds a Release tree without tests and makes the
# Debian package build/package/quorrin_<version>_<arch>.deb
# (install it with: apt install ./build/package/quorrin_*.deb).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" "$top/build/package" -DCMAKE_BUILD_TYPE=Release -DQUORRIN_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr
cd "$top/build/package"
cpack -G DEB
ls -1 "$top"/build/package/quorrin_*.deb
