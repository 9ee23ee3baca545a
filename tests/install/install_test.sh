#!/usr/bin/env bash
# install_test.sh BUILD_DIR: installs the build into a temporary prefix and
# checks that the installed programs are complete and find their message
# catalogues there (Dutch: a serial error text of the port layer).
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$prefix/install.log"
for f in bin/quorrin bin/quorrin-sim bin/quorrin-cli \
         share/quorrin/locale/nl/LC_MESSAGES/cport.mo \
         share/quorrin/locale/nl/LC_MESSAGES/default.mo \
         share/applications/quorrin.desktop \
         share/icons/hicolor/scalable/apps/quorrin.svg \
         share/doc/quorrin/99-quorrin-serial.rules.example \
         share/doc/quorrin/README.md \
         share/doc/quorrin/copyright \
         share/man/man1/quorrin.1.gz \
         share/man/man1/quorrin-sim.1.gz \
         share/man/man1/quorrin-cli.1.gz; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
# The documents under the package's name only.
[ "$(ls "$prefix/share/doc")" = quorrin ] || fail "documents in: $(ls "$prefix/share/doc")"
grep -q '^Format: .*copyright-format/1.0/$' "$prefix/share/doc/quorrin/copyright" ||
  fail "the copyright file is not machine-readable"
# Each manual page is the program's own, with its options.
for program in quorrin quorrin-sim quorrin-cli; do
  page=$(gzip -dc "$prefix/share/man/man1/$program.1.gz")
  upper=$(echo "$program" | tr '[:lower:]' '[:upper:]')
  grep -q "^\.TH $upper \"1\"" <<< "$page" || fail "$program.1: no title of its own"
  grep -qF -- '\-\-help' <<< "$page" || fail "$program.1: no options"
done
# The Python module and its stubs, where Debian's python3 looks under /usr.
if ls "$build"/python/quorrin*.so > /dev/null 2>&1; then
  ls "$prefix"/lib/python3/dist-packages/quorrin.cpython-*.so > /dev/null 2>&1 \
    || fail "not installed: the Python module"
  [ -e "$prefix/lib/python3/dist-packages/quorrin.pyi" ] || fail "not installed: quorrin.pyi"
fi
grep -q '^Exec=quorrin$' "$prefix/share/applications/quorrin.desktop" || fail "desktop entry"

# A file named locale beside the programs, as /usr/bin/locale is, is no
# catalogue folder.
touch "$prefix/bin/locale"
# (gettext takes LANGUAGE only under a locale other than plain C.)
# The installed CLI, in Dutch, on a port that does not exist: status 3 and
# the translated text, found in <prefix>/share/quorrin/locale.
set +e
err=$(env -u LC_ALL -u LC_MESSAGES LANG=C.UTF-8 LANGUAGE=nl "$prefix/bin/quorrin-cli" --port /dev/quorrin-no-such-port probe 2>&1 >/dev/null)
status=$?
set -e
[ "$status" -eq 3 ] || fail "status $status, expected 3: $err"
case $err in
  *"Kan de COM-poort niet openen"*) ;;
  *) fail "not translated after install: $err" ;;
esac

# The installed tester starts in Dutch and keeps running until it is told to
# stop. It loads its catalogues at start-up, and gettext maps a catalogue it
# found into memory: both Dutch catalogues must be mapped from the prefix.
export QT_QPA_PLATFORM=offscreen
env -u LC_ALL -u LC_MESSAGES LANG=C.UTF-8 LANGUAGE=nl "$prefix/bin/quorrin" > "$prefix/tester.log" 2>&1 &
tester=$!
mapped=
for _ in $(seq 50); do
  mapped=$(grep -o '/[^ ]*\.mo$' "/proc/$tester/maps" 2>/dev/null || true)
  [ "$(echo "$mapped" | grep -c "^$prefix/share/quorrin/locale/nl/LC_MESSAGES/")" -ge 2 ] && break
  sleep 0.1
done
kill -0 "$tester" 2>/dev/null || { cat "$prefix/tester.log"; fail "the installed tester ended"; }
for domain in default cport; do
  echo "$mapped" | grep -qx "$prefix/share/quorrin/locale/nl/LC_MESSAGES/$domain.mo" ||
    fail "the installed tester did not load $domain.mo from the prefix: ${mapped:-nothing}"
done
sleep 1
kill -0 "$tester" 2>/dev/null || { cat "$prefix/tester.log"; fail "the installed tester ended"; }
kill "$tester"
wait "$tester" || true
echo "1 passed, 0 failed"
