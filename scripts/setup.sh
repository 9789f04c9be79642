#!/usr/bin/env bash
# Installs what building and testing need, on Debian 12, when it is missing.
# Run as root (or with sudo available). Safe to run again.
set -euo pipefail

packages=(cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest
          wine wine32:i386 wine64 xvfb clang libclang-rt-14-dev wixl msitools
          usb-modeswitch-data   # the import test's input, never shipped
          osslsigncode openssl libengine-pkcs11-openssl  # signing (scripts/package.sh)
          softhsm2)             # the signing test's PKCS#11 token

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  missing+=(i386-architecture)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "setup: installing packages needs root: run this as root (without sudo), or install sudo" >&2
    exit 1
  fi
  SUDO=sudo
fi
$SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "setup: done"
