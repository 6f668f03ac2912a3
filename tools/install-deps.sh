#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing and we are root.
# Without root it only says what is missing; the steps that need it then fail or skip plainly.
set -euo pipefail

packages=(cmake make g++ libgtest-dev python3 iproute2
          clang libclang-rt-14-dev clang-tidy cppcheck
          g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
          wine wine64 wine32:i386
          osslsigncode openssl icoutils debootstrap)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages (run as root to install them): ${missing[*]}" >&2
  exit 0
fi

echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
