#!/usr/bin/env bash
# The two package sets of scripts/install-deps.sh as apt would install them on an empty
# machine (a simulation from an empty package status, so every dependency counts): the set
# for building and running brings no tool only the tests use, and neither set brings a mail
# transport agent that would become the system's.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

list() { "$repo/scripts/install-deps.sh" --list "$1" | sort -u; }
installed_from_nothing() {
    apt-get -s -o Dir::State::status=/dev/null install --no-install-recommends "$@" \
        > "$work/simulation" 2>&1 || { cat "$work/simulation"; fail "apt cannot install: $*"; }
    awk '/^Inst /{print $2}' "$work/simulation" | sort -u
}
list run > "$work/run"
list test > "$work/test"
list test-only > "$work/test-only"
[ -s "$work/run" ] && [ -s "$work/test-only" ] || fail "a set is empty"
named=$(comm -12 "$work/run" "$work/test-only")
[ -z "$named" ] || fail "the run set names test packages: $named"
installed_from_nothing $(cat "$work/run") > "$work/run-installed"
installed_from_nothing $(cat "$work/test") > "$work/test-installed"

# The test tools: the test-only set but its libraries (they serve the unpacked exim) and
# python3 (Debian's Qt build tools depend on it too).
grep -v -x -E 'lib.*|python3' "$work/test-only" > "$work/test-tools"
leaked=$(comm -12 "$work/run-installed" "$work/test-tools")
[ -z "$leaked" ] || fail "building and running would install test tools: $leaked"

apt-cache showpkg mail-transport-agent | sed -n '/^Reverse Provides:/,$p' | sed 1d |
    awk '{print $1}' | sort -u > "$work/mtas"
[ -s "$work/mtas" ] || fail "apt knows no mail transport agent: no package lists?"
for set in run test; do
    mta=$(comm -12 "$work/$set-installed" "$work/mtas")
    [ -z "$mta" ] || fail "the $set set would install a mail transport agent: $mta"
done
echo "setup ok: the run set installs $(wc -l < "$work/run-installed") packages, the test set" \
     "$(wc -l < "$work/test-installed"), no test tool in the first, no MTA in either"
