#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine (run as root, or with
# sudo available). Installs nothing when everything is already there.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev g++-mingw-w64-i686 \
           binutils-mingw-w64-i686 mingw-w64-i686-dev clang-format clang-tidy git; do
    have_pkg "$pkg" || need+=("$pkg")
done

if ((${#need[@]})); then
    echo "setup: installing ${need[*]}"
    sudo=""
    if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi
