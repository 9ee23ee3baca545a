#!/usr/bin/env bash
# scripts/windows.sh [cmake options...]: cross-builds the serial layer, the
# component, quorrin-cli and the tests that run under wine for 64-bit
# Windows into build/windows (build/windows/bin/quorrin-cli.exe). Installs
# scripts/windows-packages.txt when missing; stages the header-only
# libraries and builds GoogleTest into build/windows/prefix once.
# QUORRIN_WINDOWS_DIR overrides the build folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/scripts/windows-packages.txt"
dir=${QUORRIN_WINDOWS_DIR:-$top/build/windows}
prefix=$dir/prefix
jobs=${QUORRIN_JOBS:-$(nproc)}
toolchain=$top/cmake/mingw-w64-x86_64.cmake
mkdir -p "$dir" "$prefix/include"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
  # Debug builds would otherwise hash the folder they are built in.
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi

# Header-only dependencies: copies of Debian's headers (never /usr/include
# itself, whose glibc headers would shadow mingw's).
for d in CLI nlohmann; do
  [ -d "$prefix/include/$d" ] || cp -r "/usr/include/$d" "$prefix/include/$d"
done
# GoogleTest from Debian's sources, built once with the same compiler.
if [ ! -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "windows: building GoogleTest"
  cmake -S /usr/src/googletest -B "$dir/googletest" -G Ninja "${launcher[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -Dgtest_disable_pthreads=OFF > "$dir/googletest.log" 2>&1 ||
    { cat "$dir/googletest.log"; exit 1; }
  cmake --build "$dir/googletest" -j "$jobs" >> "$dir/googletest.log" 2>&1 ||
    { cat "$dir/googletest.log"; exit 1; }
  cmake --install "$dir/googletest" >> "$dir/googletest.log" 2>&1
fi

if ! cmake -S "$top" -B "$dir" -G Ninja "${launcher[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQUORRIN_WINDOWS_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DQUORRIN_WERROR=ON "$@" > "$dir/configure.log" 2>&1; then
  cat "$dir/configure.log"
  exit 1
fi
cmake --build "$dir" -j "$jobs"
