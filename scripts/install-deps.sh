#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this machine lacks.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libboost1.74-dev
  libboost-program-options1.74-dev
  libboost-thread1.74-dev
  libboost-date-time1.74-dev
  libboost-filesystem1.74-dev
  libboost-random1.74-dev
  zlib1g-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  time
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
