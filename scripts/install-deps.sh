#!/usr/bin/env bash
# Installs what building, testing and running Kestro needs on Debian. Installs only what
# is missing, so a second run is quick. Usage: scripts/install-deps.sh [--no-windows]
set -euo pipefail

windows=1
[[ "${1:-}" == "--no-windows" ]] && windows=0

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi

packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev libedit-dev dpkg-dev file python3
          socat clang libclang-rt-14-dev)
# The CAN interoperability test: a third-party socketcand client for the system's python3.
packages+=(python3 python3-can)
if [[ $windows -eq 1 ]]; then
  packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64)
fi

need_update=0
if [[ $windows -eq 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "install-deps: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [[ $need_update -eq 1 ]]; then
  "${sudo_cmd[@]}" apt-get update -qq
fi
echo "install-deps: all packages present"
