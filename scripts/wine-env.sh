#!/usr/bin/env bash
# Sourced: a wine prefix for the Windows tests under WINDOWS_BUILD/wineprefix
# with COM5 registered to the link WINDOWS_BUILD/com5, and a persistent
# wineserver (started here, outside ctest: wine's services would otherwise
# inherit ctest's pipes and ctest would never end). wine_env_stop ends it.
# Usage: . scripts/wine-env.sh WINDOWS_BUILD
wine_build=$(cd "$1" && pwd)
export WINEPREFIX=$wine_build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_env_stop() { wineserver -k >/dev/null 2>&1 || true; }
if [ ! -f "$WINEPREFIX/.quorrin-com5" ]; then
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$wine_build/com5" /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.quorrin-com5"
fi
wineserver -p >/dev/null 2>&1 </dev/null
# The first program starts wine's services here, outside any test.
wine cmd /c exit >/dev/null 2>&1 </dev/null
