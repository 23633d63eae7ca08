# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# shellcheck disable=SC2034  # the variables are set here for the scripts that source this
# The architectures that ferrox is cross-built for and run under qemu-user: each one's CMake
# preset (the build goes to build/PRESET), its Debian triplet (the compiler's prefix and the
# C library under /usr/TRIPLET) and its qemu-user emulator.
cross_presets=(aarch64 armhf s390x)

# cross_target PRESET: sets cross_triplet, cross_qemu, cross_bits (the width of a long and a
# pointer) and cross_what (what the build stands for).
cross_target() {
    cross_bits=64
    case $1 in
        aarch64) cross_triplet=aarch64-linux-gnu cross_qemu=qemu-aarch64 cross_what="ARM64" ;;
        armhf) cross_triplet=arm-linux-gnueabihf cross_qemu=qemu-arm cross_bits=32 cross_what="32-bit ARM" ;;
        s390x) cross_triplet=s390x-linux-gnu cross_qemu=qemu-s390x cross_what="big-endian s390x" ;;
        *)
            echo "no such cross target: $1" >&2
            return 1
            ;;
    esac
}
