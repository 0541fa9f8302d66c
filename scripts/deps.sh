#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root). Only missing packages
# are installed, so a prepared machine pays nothing.
set -euo pipefail
pkgs=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      clang libclang-rt-14-dev openjdk-17-jdk-headless ninja-build python3)
if [ "${TARQ_WITH_WINDOWS:-0}" = 1 ]; then
    pkgs+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64)
fi
missing=()
for p in "${pkgs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
