#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing (quickly) when they
# are all present. Needs root or sudo for apt-get.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev
  python3 python3-aiosmtpd swaks msmtp openssl libssl-dev
  qt6-base-dev libgl-dev libasound2-dev libjpeg-dev xvfb xauth fonts-noto-cjk
  desktop-file-utils appstream iproute2 x11-utils clang-format git
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
