#!/usr/bin/env bash
# packaging/maintainer.sh [CHECKOUT]: prints the package's maintainer as
# "Name <address>", taken the Debian way: DEBFULLNAME and DEBEMAIL when set
# (DEBEMAIL may be "Name <address>" itself), else the checkout's git config
# user.name and user.email. Fails with a message naming them when the name or
# the address is missing, or the address's host is one that mail never
# reaches (localhost, localdomain, local, and the names kept for tests and
# examples: test, example, invalid, example.com/net/org).
set -euo pipefail
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
name=${DEBFULLNAME:-}
address=${DEBEMAIL:-}
if [[ $address =~ ^(.*[^[:space:]])[[:space:]]*\<([^<>]*)\>$ ]]; then
  [ -n "$name" ] || name=${BASH_REMATCH[1]}
  address=${BASH_REMATCH[2]}
fi
[ -n "$name" ] || name=$(git -C "$top" config user.name 2>/dev/null || true)
[ -n "$address" ] || address=$(git -C "$top" config user.email 2>/dev/null || true)

fail() {
  echo "package: $*" >&2
  echo "package: set DEBFULLNAME and DEBEMAIL (DEBFULLNAME='Your Name' DEBEMAIL=you@your.mail.host scripts/package.sh)," >&2
  echo "package: or git config user.name and user.email in this checkout" >&2
  exit 1
}
[ -n "$name" ] || fail "no maintainer name: DEBFULLNAME and git config user.name are both empty"
[ -n "$address" ] || fail "no maintainer address: DEBEMAIL and git config user.email are both empty"
[[ $name != *[\<\>]* ]] || fail "the maintainer name \"$name\" holds < or >"
host=${address##*@}
if [[ ! $address =~ ^[^@[:space:]\<\>]+@[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)+$ ]]; then
  fail "\"$address\" is no mail address with a host name"
fi
lower=$(echo "$host" | tr '[:upper:]' '[:lower:]')
for reserved in localhost localdomain local test example invalid example.com example.net example.org; do
  if [ "$lower" = "$reserved" ] || [[ $lower == *".$reserved" ]]; then
    fail "\"$address\": mail to $host never arrives (.$reserved is no real host)"
  fi
done
echo "$name <$address>"
