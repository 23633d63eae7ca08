#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The source release holds exactly the tracked files and repeats byte for byte;
# scripts/package.sh builds and checks the packages both in this checkout, under umask 022,
# and in the unpacked release, another folder whose files have other times, under umask 002
# (group-writable files and directories, as many users' shells make them), and the two give
# the same bytes.
set -euo pipefail
cd "$(dirname "$0")/../.."
tarball=$(bash scripts/source-tarball.sh)
again=$(mktemp -d)
trap 'rm -rf "$again"' EXIT
cp "$tarball" "$again/first.tar.gz"
bash scripts/source-tarball.sh >/dev/null
cmp "$tarball" "$again/first.tar.gz" || { echo "two source releases of one commit differ"; exit 1; }
listed=$(tar -tzf "$tarball" | grep -v '/$' | sed 's|^[^/]*/||' | sort)
[ "$listed" = "$(git ls-files | sort)" ] ||
    { diff <(echo "$listed") <(git ls-files | sort); echo "$tarball: not the tracked files"; exit 1; }

(umask 022 && bash scripts/package.sh)
tar -xzf "$tarball" -C "$again"
release=$again/$(basename "$tarball" .tar.gz)
(umask 002 && bash "$release/scripts/package.sh" >/dev/null)
for package in build/release/ferrox_*.deb build/release/ferrox-dbgsym_*.deb build/release/ferrox-*.rpm; do
    cmp "$package" "$release/$package" || { echo "$package differs when built from the release"; exit 1; }
    sha256sum "$package"
done
echo "source release and reproducible packages ok: $tarball"
