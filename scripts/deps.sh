#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, if any are missing. Usage: deps.sh [windows]
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format pkg-config googletest libgtest-dev
          libbenchmark-dev libboost-dev libcli11-dev nlohmann-json3-dev)
if [[ "${1:-}" == windows ]]; then
    packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine wine64 libwine-dev socat)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "== installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
