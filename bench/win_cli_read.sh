#!/usr/bin/env bash
# bench/win_cli_read.sh LINUX_BUILD: win_cli_read_ratio, the time of one
# Selectrix read by quorrin-cli.exe (many "feedback" in one "do" session)
# over the same read by a plain Win32 program with non-overlapped ReadFile,
# both under wine on COM5 against one quorrin-sim. The CLI's start is taken
# out: (run of N reads - run of 1 read) / (N - 1); the plain program times
# its loop itself (its start under wine varies more than its 1000 reads
# take). Best of 3 each.
# Skipped, and said so, without wine.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
linux=$1
if ! command -v wine >/dev/null 2>&1 || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  echo "# win_cli_read_ratio skipped: wine or mingw-w64 not installed (scripts/windows-packages.txt)"
  exit 0
fi
"$top/scripts/windows.sh" > "$top/build/windows.build.log" 2>&1 || { tail -30 "$top/build/windows.build.log"; exit 1; }
windows=$top/build/windows
. "$top/scripts/wine-env.sh" "$windows"
work=$(mktemp -d)
mkfifo "$work/in"
"$linux/bin/quorrin-sim" --system selectrix <"$work/in" >"$work/sim.out" 2>&1 &
simpid=$!
exec 3>"$work/in"
trap 'exec 3>&-; kill $simpid 2>/dev/null; wait 2>/dev/null; wine_env_stop; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
ln -sfn "$(head -1 "$work/sim.out")" "$windows/com5"
n=2000
cli_args() { local a=(); for _ in $(seq "$1"); do a+=("feedback 3"); done; printf '%s\0' "${a[@]}"; }
seconds() { local s; s=$(date +%s%N); "$@" >/dev/null 2>&1 || return 1; echo $(( $(date +%s%N) - s )); }
best() { local b=; for _ in 1 2 3; do t=$(seconds "$@") || return 1; [ -z "$b" ] || [ "$t" -lt "$b" ] && b=$t; done; echo "$b"; }
mapfile -d '' many < <(cli_args $n)
cli1=$(best wine "$windows/bin/quorrin-cli.exe" --system selectrix --port COM5 do "feedback 3") || exit 1
clin=$(best wine "$windows/bin/quorrin-cli.exe" --system selectrix --port COM5 do "${many[@]}") || exit 1
plain=
for _ in 1 2 3; do
  t=$(wine "$windows/bin/bench_win_plain_read.exe" COM5 $n 3 2>/dev/null) || exit 1
  [ -z "$plain" ] || awk -v t="$t" -v b="$plain" 'BEGIN { exit !(t < b) }' && plain=$t
done
awk -v c1="$cli1" -v cn="$clin" -v plain="$plain" -v n="$n" 'BEGIN {
  cli = (cn - c1) / (n - 1) / 1000;
  printf "win_cli_read_us: %.1f\nwin_plain_read_us: %.1f\nwin_cli_read_ratio: %.2f\n", cli, plain, cli / plain }'
