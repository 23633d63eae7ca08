#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# scripts/package.sh names what it needs and can't find, and stops there: run with a PATH
# that has every command of this machine but lintian and rpmlint.
set -euo pipefail
# shellcheck source=scripts/lib/cannot_run.sh
source "$(dirname "$0")/../../scripts/lib/cannot_run.sh"
# all that scripts/package.sh needs but the two that are taken away
skip_unless_found cmake c++ dpkg-deb dpkg-shlibdeps rpmbuild gzip readelf
script=$1
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
for directory in /usr/local/bin /usr/bin /bin; do
    for command in "$directory"/*; do
        name=${command##*/}
        [ -e "$bin/$name" ] || ln -s "$command" "$bin/$name"
    done
done
rm -f "$bin/lintian" "$bin/rpmlint"
if out=$(PATH=$bin bash "$script" 2>&1); then
    echo "package.sh went on without lintian and rpmlint: $out"
    exit 1
fi
expected="scripts/package.sh needs, and can't find (Debian packages in parentheses):
  lintian (lintian)
  rpmlint (rpmlint)"
[ "$out" = "$expected" ] || { echo "$out"; exit 1; }
echo "package.sh names what it misses"
