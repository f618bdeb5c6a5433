#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, if any are missing.
# Usage: deps.sh [windows] [package] [lint] [browser]
#   browser: Chromium, its WebDriver and Selenium for the test of varnel serve's page.
set -euo pipefail

foreign=()  # architectures dpkg must know before the packages can be found
packages=(cmake ninja-build g++ clang clang-format pkg-config googletest libgtest-dev
          libbenchmark-dev libboost-dev libcli11-dev nlohmann-json3-dev
          ccache)  # scripts/test.sh compiles through it: a second run compiles what changed
for extra in "$@"; do
    case $extra in
        windows) packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine
                            wine64 libwine-dev socat
                            fonts-wine xvfb xauth imagemagick  # windows on a virtual display
                            wine32:i386 gcc-multilib           # the 32-bit control, its shim
                            wixl msitools)                     # the installer package
                 foreign+=(i386) ;;
        package) packages+=(help2man dpkg-dev file) ;;     # man page, cpack's dependency scan
        lint) packages+=(lintian systemd) ;;               # package and unit file checks
        browser) packages+=(chromium chromium-driver python3-selenium) ;;  # the page's test
        *) echo "deps.sh: unknown set '$extra'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "== installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
for arch in "${foreign[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
done
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
