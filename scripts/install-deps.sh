#!/usr/bin/env bash
# Installs the Debian packages one of two sets needs; does nothing (quickly) when they are
# all present. Needs root or sudo for apt-get.
#   install-deps.sh run     building and running the programs (make run, build, package)
#   install-deps.sh test    the run set and what the tests and benchmarks need (make test)
#   install-deps.sh --list run|test|test-only   prints a set's packages, one a line (test-only:
#                           what the test set adds), installs nothing
# Neither set holds a mail transport agent: the exim the tests talk to is unpacked into the
# build (scripts/unpack-exim.sh), never installed, so the system's MTA stays the user's.
set -euo pipefail

run_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libxkbcommon-dev libgl-dev libasound2-dev libjpeg-dev libssl-dev
  libcurl4-openssl-dev nlohmann-json3-dev libsecret-1-dev
  fonts-noto-cjk
)
# Peers and checkers: the SMTP clients and servers the tests run, the display and keyring
# they start, the package checks, the formatter; and the libraries the unpacked exim needs.
test_packages=(
  libgtest-dev
  python3 python3-aiosmtpd swaks msmtp openssl
  xvfb xauth x11-utils
  desktop-file-utils appstream lintian systemd iproute2 clang-format git
  dbus-daemon dbus-bin gnome-keyring libsecret-tools
  s-nail git-email libmailtools-perl
  libdb5.3 libgnutls-dane0 libgnutls30 libidn12 libidn2-0 libnsl2 libpcre2-8-0 libcrypt1
)

list=false
if [ "${1:-}" = --list ]; then
  list=true
  shift
fi
case "${1:-}" in
run) packages=("${run_packages[@]}") ;;
test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
test-only) packages=("${test_packages[@]}") ;;
*) packages=() ;;
esac
if [ ${#packages[@]} -eq 0 ] || { ! $list && [ "$1" = test-only ]; }; then
  echo "usage: $0 run|test, or $0 --list run|test|test-only" >&2
  exit 64
fi
if $list; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing ($1 set): ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
