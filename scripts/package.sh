#!/usr/bin/env bash
# scripts/package.sh: builds a Release tree without tests and makes the
# Debian package build/package/quorrin_<version>_<arch>.deb
# (install it with: apt install ./build/package/quorrin_*.deb), then checks
# it with lintian (an error fails the run).
# The maintainer is taken the Debian way (packaging/maintainer.sh):
# DEBFULLNAME and DEBEMAIL, else git config user.name and user.email.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/debian-packages.txt" "$top/packaging/packages.txt"
maintainer=$("$top/packaging/maintainer.sh" "$top")
# The date of the last commit dates the release (changelog, manual pages).
SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
released=$(LC_ALL=C date -u -R -d "@$SOURCE_DATE_EPOCH")
"$top/scripts/build.sh" "$top/build/package" -DCMAKE_BUILD_TYPE=Release -DQUORRIN_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr "-DQUORRIN_MAINTAINER=$maintainer" "-DQUORRIN_RELEASE_DATE=$released"
cd "$top/build/package"
rm -f quorrin_*.deb
cpack -G DEB
deb=$(ls -1 "$top"/build/package/quorrin_*.deb)
echo "== lintian"
lintian --fail-on error --info "$deb"
echo "$deb"
