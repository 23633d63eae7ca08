#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the release's static binaries: ferrox linked statically against musl for x86-64
# and ARM64 Linux, one file that runs on any Linux of its architecture (a container, a
# rescue system, a router), with Zig 0.11's C++ compiler (scripts/lib/zig.sh installs it,
# pinned and checked, when it isn't there; that needs npm). Each goes beside the source
# release as build/ferrox-<version>-<arch>-linux-musl-static, with its SHA-256 file
# (<name>.sha256, as `sha256sum -c` reads it), and its path is printed. Release flags (-O3,
# the hardening of cmake/hardening.cmake), stripped, paths relative to the source tree: the
# same sources give the same bytes (scripts/zig-builds.sh checks it).
#
#     bash scripts/static-binaries.sh [PRESET...]    (musl-x86_64, musl-aarch64; both by default)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/source_date.sh
source scripts/lib/zig.sh
install_zig >&2
zig_env
SOURCE_DATE_EPOCH=$(source_date_epoch)
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^project(ferrox VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
presets=(musl-x86_64 musl-aarch64)
[ $# -gt 0 ] && presets=("$@")
for preset in "${presets[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target ferrox >&2
    name=ferrox-$version-${preset#musl-}-linux-musl-static
    install -m 755 "build/$preset/ferrox" "build/$name"
    (cd build && sha256sum "$name" >"$name.sha256")
    echo "build/$name"
done
