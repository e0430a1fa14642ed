#!/usr/bin/env bash
# Installs, on Debian 12, what building and testing the writer need, plus any package
# named on the command line. Installs nothing that is there already.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev
          qt6-base-dev qt6-serialport-dev libgtest-dev libgmock-dev fonts-dejavu-core srecord
          libqt6sql6-sqlite libqt6sql6-psql postgresql sqlite3
          poppler-utils fonts-ipafont-gothic
          dpkg-dev file lintian desktop-file-utils appstream bash-completion
          g++-mingw-w64-x86-64 wine64 locales libcpp-httplib-dev pkg-config chromium
          libboost-dev libssl-dev libsodium-dev libcrypt-dev openssl curl "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
