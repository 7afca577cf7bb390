#!/usr/bin/env bash
# Installs the Debian packages Lumenfold needs to build, test and run, and only the
# ones that are missing. Safe to run again: a machine that has everything is left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  qtbase5-dev libqt5svg5-dev libqt5opengl5-dev libqwt-qt5-dev
  libzmq3-dev cppzmq-dev libmsgpack-cxx-dev libhdf5-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-zmq python3-msgpack python3-numpy python3-pytest python3-h5py
  python3-setuptools python3-venv python3-cryptography
  clang libclang-rt-14-dev clang-format
  clang-tidy
  xvfb xauth fonts-dejavu-core desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
