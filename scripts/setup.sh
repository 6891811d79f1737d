#!/usr/bin/env bash
# Installs every Debian package Kadenzo needs to build, run and test.
# Noninteractive and idempotent: packages already present are skipped by apt.
#   bash scripts/setup.sh          the packages to build, run and test
#   bash scripts/setup.sh --fuzz   also clang with libFuzzer (scripts/fuzz.sh)
set -euo pipefail

packages=(
  build-essential cmake pkg-config git clang-format
  qt6-base-dev qt6-base-dev-tools
  portaudio19-dev librtmidi-dev libjack-jackd2-dev libsndfile1-dev libsoxr-dev
  libfftw3-dev libcli11-dev nlohmann-json3-dev
  ableton-link-dev libasio-dev liblo-dev
  jackd2 sndfile-tools
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-numpy python3-scipy python3-soundfile python3-pil fonts-dejavu-core
  xvfb xauth
  parallel
)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable realtime priority; answer it up front.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
