#!/usr/bin/env bash
# maintainer_test.sh SCRIPT: the package maintainer packaging/maintainer.sh
# gives (or refuses) for the ways a checkout and the environment name one.
set -euo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work GIT_CONFIG_NOSYSTEM=1
unset DEBFULLNAME DEBEMAIL GIT_CONFIG_GLOBAL
git init -q "$work/plain"
git init -q "$work/named"
git -C "$work/named" config user.name "Git Name"
git -C "$work/named" config user.email git@railway-club.nl

failed=0
cases=0
# checkout | DEBFULLNAME | DEBEMAIL | expected output, or "refused: <part of the message>"
while IFS='|' read -r checkout fullname email expected; do
  cases=$((cases + 1))
  set +e
  out=$(env ${fullname:+DEBFULLNAME="$fullname"} ${email:+DEBEMAIL="$email"} \
        bash "$script" "$work/$checkout" 2>&1)
  status=$?
  set -e
  case $expected in
    refused:*)
      want=${expected#refused: }
      if [ $status -eq 0 ] || [[ $out != *"$want"* ]] || [[ $out != *DEBFULLNAME*DEBEMAIL* ]] ||
         [[ $out != *user.name*user.email* ]]; then
        echo "FAIL: $checkout '$fullname' '$email': status $status: $out"; failed=$((failed + 1))
      fi ;;
    *)
      if [ $status -ne 0 ] || [ "$out" != "$expected" ]; then
        echo "FAIL: $checkout '$fullname' '$email': status $status: $out"; failed=$((failed + 1))
      fi ;;
  esac
done <<'CASES'
named|Ann Smith|ann@railway-club.nl|Ann Smith <ann@railway-club.nl>
named||Ann Smith <ann@railway-club.nl>|Ann Smith <ann@railway-club.nl>
named|Bo|Ann Smith <ann@railway-club.nl>|Bo <ann@railway-club.nl>
named|||Git Name <git@railway-club.nl>
named|Ann Smith||Ann Smith <git@railway-club.nl>
named||ann@mail.Railway-Club.nl|Git Name <ann@mail.Railway-Club.nl>
plain|Ann Smith|ann@railway-club.nl|Ann Smith <ann@railway-club.nl>
plain|||refused: no maintainer name
plain|Ann Smith||refused: no maintainer address
plain||ann@railway-club.nl|refused: no maintainer name
named||quorrin@localhost|refused: no mail address with a host name
named||quorrin@localhost.localdomain|refused: never arrives
named||me@box.localdomain|refused: never arrives
named||me@pi.local|refused: never arrives
named||me@users.noreply.seed.example|refused: never arrives
named||me@EXAMPLE.org|refused: never arrives
named||me@site.test|refused: never arrives
named||me@nowhere.invalid|refused: never arrives
named||no-host|refused: no mail address with a host name
named||me@|refused: no mail address with a host name
named||me@railway..nl|refused: no mail address with a host name
named||me@-railway.nl|refused: no mail address with a host name
named|Ann <x>|ann@railway-club.nl|refused: holds < or >
CASES
[ $failed -eq 0 ] || { echo "$((cases - failed)) passed, $failed failed"; exit 1; }
echo "$cases passed, 0 failed"
