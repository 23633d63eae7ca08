# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# shellcheck disable=SC2034  # the variables are set here for the scripts that source this
# The architectures that ferrox is cross-built for and run under qemu-user: each one's CMake
# preset (the build goes to build/PRESET), its Debian triplet (the compiler's prefix and the
# C library under /usr/TRIPLET) and its qemu-user emulator. musl-aarch64, the static ARM64
# binary of the release, is built with Zig (scripts/lib/zig.sh) and run by scripts/zig-builds.sh.
cross_presets=(aarch64 armhf s390x)
# shellcheck source=scripts/lib/zig.sh
source "$(dirname "${BASH_SOURCE[0]}")/zig.sh"

# cross_target PRESET: sets cross_triplet, cross_qemu, cross_bits (the width of a long and a
# pointer), cross_what (what the build stands for), cross_compiler (what must be installed
# to build it), cross_runs (the command that runs one of its programs: the emulator, told
# where the target's C library is) and cross_e2e_env (NAME=value settings for the end-to-end
# tests run against it).
cross_target() {
    cross_bits=64
    cross_e2e_env=()
    case $1 in
        aarch64) cross_triplet=aarch64-linux-gnu cross_qemu=qemu-aarch64 cross_what="ARM64" ;;
        armhf) cross_triplet=arm-linux-gnueabihf cross_qemu=qemu-arm cross_bits=32 cross_what="32-bit ARM" ;;
        s390x) cross_triplet=s390x-linux-gnu cross_qemu=qemu-s390x cross_what="big-endian s390x" ;;
        musl-aarch64)
            cross_triplet=aarch64-linux-musl cross_qemu=qemu-aarch64 cross_what="static musl ARM64"
            ;;
        *)
            echo "no such cross target: $1" >&2
            return 1
            ;;
    esac
    cross_compiler=$cross_triplet-g++
    cross_runs=("$cross_qemu" -L "/usr/$cross_triplet")
    if [[ $1 == musl-* ]]; then
        # statically linked: no C library to point the emulator at, and no library can be
        # preloaded; the system's messages are musl's, which its own error_texts prints
        local root
        root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
        cross_compiler=$zig_home/zig
        cross_runs=("$cross_qemu")
        cross_e2e_env=(FERROX_TEST_STATIC=1
            "FERROX_TEST_ERROR_TEXTS=$cross_qemu $root/build/$1/tests/error_texts")
    fi
}
