#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Writes the source release, build/ferrox-<version>.tar.gz, and prints its path: the files
# that git tracks, as they are in the working tree, under ferrox-<version>/. Names sorted,
# owner root, times from SOURCE_DATE_EPOCH (scripts/lib/source_date.sh), compressed with
# gzip -n: the same sources always give the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/source_date.sh
version=$(sed -n 's/^project(ferrox VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
epoch=$(source_date_epoch)
mkdir -p build
tarball=build/ferrox-$version.tar.gz
git ls-files -z | tar --create --format=gnu --null --files-from=- --sort=name \
    --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --mode=go-w \
    --transform="s|^|ferrox-$version/|" | gzip -n -9 >"$tarball"
echo "$tarball"
