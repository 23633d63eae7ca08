#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# scripts/package.sh names what it needs and can't find, and stops there: run with a PATH
# that has every command of this machine but lintian and rpmlint, and stand-ins for what
# else it looks for and this machine lacks (it stops before it would run them), so that the
# test needs none of the packaging tools.
set -euo pipefail
script=$1
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
# one ln for each folder: the first folder that has a name keeps it, as on the PATH
for directory in /usr/local/bin /usr/bin /bin; do
    ln -s -t "$bin" "$directory"/* 2>/dev/null || true
done
rm -f "$bin/lintian" "$bin/rpmlint"
for name in cmake c++ dpkg-deb dpkg-shlibdeps rpmbuild gzip readelf objcopy objdump hardening-check; do
    [ -e "$bin/$name" ] || { printf '#!/bin/sh\nexit 1\n' >"$bin/$name" && chmod +x "$bin/$name"; }
done
if out=$(PATH=$bin bash "$script" 2>&1); then
    echo "package.sh went on without lintian and rpmlint: $out"
    exit 1
fi
expected="scripts/package.sh needs, and can't find (Debian packages in parentheses):
  lintian (lintian)
  rpmlint (rpmlint)"
[ "$out" = "$expected" ] || { echo "$out"; exit 1; }
echo "package.sh names what it misses"
