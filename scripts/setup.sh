#!/usr/bin/env bash
# Installs the Debian packages that building and testing the driver need.
# Idempotent: does nothing when every package is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libpugixml-dev libasio-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  tzdata clang-format libxml2-utils
  clang libclang-rt-14-dev
  prometheus-cpp-dev prometheus lintian systemd dpkg-dev fakeroot
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
