#!/usr/bin/env bash
# scripts/setup.sh [list...]: installs the Debian packages named in the lists
# (default: debian-packages.txt, what the build, ./test, ./run and bench/run
# need) that are missing. Tools with needs of their own pass their own list.
# As root it runs apt-get itself; otherwise it prints the one line to run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
[ $# -gt 0 ] || set -- "$top/debian-packages.txt"
missing=()
for list in "$@"; do
  while read -r pkg; do
    pkg=${pkg%%#*}; pkg=$(echo "$pkg" | tr -d '[:space:]')
    [ -n "$pkg" ] || continue
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$pkg")
  done < "$list"
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
else
  echo "setup: missing Debian packages. Run as root:"
  echo "  apt-get install -y ${missing[*]}"
  exit 1
fi
