#!/usr/bin/env bash
# scripts/build.sh <dir> [cmake options...]: configure once, then build incrementally.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
jobs=${QUORRIN_JOBS:-$(nproc)}
mkdir -p "$dir"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$top" -B "$dir" -G Ninja "$@" > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; rm -f "$dir/build.ninja"; exit 1; }
fi
cmake --build "$dir" -j "$jobs"
