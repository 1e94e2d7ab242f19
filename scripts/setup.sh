#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need.
# Idempotent: does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsdbus-c++-dev libsystemd-dev nlohmann-json3-dev dbus dbus-daemon systemd python3-dbus-fast
  python3 python3-numpy python3-pytest python3-setuptools python3-matplotlib python3-bleak
  python3-pip python3-venv python3-wheel
  libedf1 libedf-dev python3-mne edfbrowser xvfb x11-apps xdotool imagemagick
  dpkg-dev pkg-config file lintian
  libdbus-1-dev
  binutils procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
