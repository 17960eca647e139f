#!/usr/bin/env bash
# Unpacks Debian's exim (exim4-daemon-light) into a folder of the build for the tests that
# talk to a real MTA; nothing is installed, so the system's mail transport, whichever it is
# (none, exim, vantrosmtp-mta), stays as it was. Quick when it is there already. The
# libraries it links come from the test set of install-deps.sh.
#   unpack-exim.sh <folder>      leaves <folder>/usr/sbin/exim4
set -euo pipefail
folder=${1:?usage: unpack-exim.sh <folder>}
binary="$folder/usr/sbin/exim4"
[ -x "$binary" ] && exit 0

mkdir -p "$folder/download"
cd "$folder/download"
rm -f exim4-daemon-light_*.deb
# A fresh machine may have no package lists yet; apt-get download reads them.
if ! apt-get download exim4-daemon-light > download.log 2>&1; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  apt-get download exim4-daemon-light > download.log 2>&1 || {
    cat download.log >&2
    echo "unpack-exim.sh: could not download exim4-daemon-light" >&2
    exit 1
  }
fi
dpkg-deb -x exim4-daemon-light_*.deb "$folder"
# The tests run it as root; a set-user-id copy in a build folder would serve nobody else.
chmod u-s "$binary"
unresolved=$(ldd "$binary" | grep "not found" || true)
if [ -n "$unresolved" ]; then
  echo "unpack-exim.sh: exim's libraries are missing (scripts/install-deps.sh test installs them):" >&2
  echo "$unresolved" >&2
  exit 1
fi
echo "exim unpacked: $binary ($(dpkg-deb -f exim4-daemon-light_*.deb Version))"
