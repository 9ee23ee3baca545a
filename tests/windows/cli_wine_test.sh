#!/usr/bin/env bash
# quorrin-cli.exe under wine against the Linux simulators, one system after
# the other: COM5 of the wine prefix is registered to a link under the
# Windows build folder (HKLM\Software\Wine\Ports), which is pointed at each
# simulator's pseudo-terminal in turn. Wine answers the modem-line calls on
# a pseudo-terminal with "not supported", so this runs the Windows device
# without modem lines and the event thread on its polling wait. Then each
# system once more on its built-in simulator (--simulator, in the program).
# Usage: cli_wine_test.sh LINUX_BUILD WINDOWS_BUILD (WINEPREFIX set, a
# persistent wineserver running, COM5 registered: see scripts/wine-env.sh).
set -uo pipefail
linux=$1 windows=$2
sim=$linux/bin/quorrin-sim
cli=$windows/bin/quorrin-cli.exe
link=$windows/com5
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; kill $simpid 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
failed=0

# system | arguments | what the output must hold
cases=(
  "selectrix|do 'power on' 'write 5 170' 'feedback 5' 'power off'|170"
  "marklin|do 'power on' 'loco 24 --speed 7 --light' 'feedback 3'|feedback"
  "lenz|do 'power on' 'version' 'feedback 3'|version"
  "kaart|feedback 3|feedback"
  "intellibox|--ib-fixed --ib-baud 2400 do 'power on' 'power off'|power"
  "dinamo|do 'power on' 'power off'|power"
)
for c in "${cases[@]}"; do
  IFS='|' read -r system args expect <<<"$c"
  rm -f "$work/in"; mkfifo "$work/in"
  "$sim" --system "$system" <"$work/in" >"$work/sim.out" 2>&1 &
  simpid=$!
  exec 3>"$work/in"
  for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
  pty=$(head -1 "$work/sim.out")
  ln -sfn "$pty" "$link"
  start=$(date +%s.%N)
  out=$(eval "wine '$cli' --system $system --port COM5 $args" 2>"$work/err")
  status=$?
  took=$(echo "$(date +%s.%N) - $start" | bc)
  if [ $status -ne 0 ] || ! grep -q -- "$expect" <<<"$out"; then
    echo "FAIL $system (status $status, ${took}s): $out"; cat "$work/err"; failed=1
  else
    echo "ok   $system (${took}s)"
  fi
  exec 3>&-
  wait $simpid 2>/dev/null
done

# A line nobody answers on: each read ends at its time-out (the blocking
# handle's first-byte limit), the same status and words as on Linux.
python3 -c 'import os, sys, time; m, s = os.openpty(); print(os.ttyname(s), flush=True); time.sleep(60)' \
  >"$work/silent" &
silentpid=$!
for _ in $(seq 50); do [ -s "$work/silent" ] && break; sleep 0.1; done
ln -sfn "$(head -1 "$work/silent")" "$link"
for c in "probe|the interface did not answer" "feedback 3|feedback: no answer"; do
  IFS='|' read -r args expect <<<"$c"
  start=$(date +%s.%N)
  # shellcheck disable=SC2086
  wine "$cli" --system selectrix --port COM5 $args >/dev/null 2>"$work/err"
  status=$?
  took=$(echo "$(date +%s.%N) - $start" | bc)
  if [ $status -ne 2 ] || ! grep -q -- "$expect" "$work/err" || [ "$(echo "$took > 5" | bc)" = 1 ]; then
    echo "FAIL silent line, $args (status $status, ${took}s)"; cat "$work/err"; failed=1
  else
    echo "ok   silent line, $args (${took}s)"
  fi
done
kill $silentpid 2>/dev/null

# The built-in simulators, in the program itself (no pseudo-terminal).
for system in selectrix marklin lenz kaart intellibox dinamo; do
  out=$(wine "$cli" --system "$system" --simulator do 'power on' 'power state' 'power off' 2>"$work/err")
  status=$?
  if [ $status -ne 0 ] || ! grep -q -- "power off" <<<"$out"; then
    echo "FAIL $system --simulator (status $status): $out"; cat "$work/err"; failed=1
  else
    echo "ok   $system --simulator"
  fi
done
exit $failed
