#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing (quickly) when they
# are all present. Needs root or sudo for apt-get.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev
  python3 python3-aiosmtpd swaks msmtp openssl libssl-dev
  qt6-base-dev libgl-dev libasound2-dev libjpeg-dev xvfb xauth fonts-noto-cjk
  desktop-file-utils appstream lintian iproute2 x11-utils clang-format git
  dbus-daemon gnome-keyring libsecret-tools
  s-nail git-email libmailtools-perl
)

# Exim, the real MTA some tests talk to, becomes the system's mail transport agent when it
# is installed: it is added only where no MTA is (no /usr/sbin/sendmail), so that one the
# user chose is never replaced, and its daemon is not started (the tests run it themselves).
mta=()
if [ ! -e /usr/sbin/sendmail ] && ! dpkg-query -W -f='${Status}' exim4-daemon-light 2>/dev/null |
  grep -q "install ok installed"; then
  mta=(exim4-daemon-light)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && [ ${#mta[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]} ${mta[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] || "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ ${#mta[@]} -gt 0 ]; then
  # policy-rc.d's 101 tells the package not to start its service.
  no_start=/usr/sbin/policy-rc.d
  if [ ! -e "$no_start" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$no_start" > /dev/null
    "${sudo_cmd[@]}" chmod +x "$no_start"
    trap '"${sudo_cmd[@]}" rm -f "$no_start"' EXIT
  fi
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${mta[@]}"
fi
