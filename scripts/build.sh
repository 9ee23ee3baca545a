#!/usr/bin/env bash
# scripts/build.sh <dir> [cmake options...]: configures (again, so options given
# on a later run take effect; CMake only redoes what changed) and builds
# incrementally. Uses ccache when it is installed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
jobs=${QUORRIN_JOBS:-$(nproc)}
mkdir -p "$dir"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths below the checkout count as relative, so another clone shares the cache.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
  # Debug builds would otherwise hash the folder they are built in.
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi
if ! cmake -S "$top" -B "$dir" -G Ninja "${launcher[@]}" "$@" > "$dir/configure.log" 2>&1; then
  cat "$dir/configure.log"
  exit 1
fi
cmake --build "$dir" -j "$jobs"
