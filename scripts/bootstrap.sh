#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the program need. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-dejavu-core
  portaudio19-dev libsndfile1-dev libzip-dev libsimpleini-dev zip
  jackd2 libasound2-dev libjack-jackd2-dev librtmidi-dev ccache
  help2man desktop-file-utils libaubio-dev
  clang libclang-rt-14-dev
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

echo "bootstrap: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks about real-time priority; answer for it.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections 2>/dev/null || true
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
