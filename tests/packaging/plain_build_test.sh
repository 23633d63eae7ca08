#!/usr/bin/env bash
# What a user or packager without GoogleTest gets: the release preset and a plain configure
# with no preset both build ferrox, with no tests and without -Werror, and say why the
# tests are off when nobody chose that.
set -euo pipefail
cd "$(dirname "$0")/../.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
git ls-files -z | xargs -0 cp --parents -t "$scratch"
cd "$scratch"

cmake --preset release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null 2>&1
cmake --build --preset release >/dev/null
# the version the build was given, in the program's version line
version_of() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"; }
version=$(version_of build/release)
[ -n "$version" ] || { echo "no version in the CMake cache"; exit 1; }
build/release/ferrox --version | grep -qF -- " - $version - "
! grep -q -- '-Werror' build/release/compile_commands.json || { echo "release uses -Werror"; exit 1; }
[ ! -e build/release/tests ] || { echo "release configured the tests"; exit 1; }

log=$(cmake -S . -B build/plain -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
grep -q 'Tests off: GoogleTest or zlib not found' <<<"$log" || { echo "$log"; exit 1; }
cmake --build build/plain >/dev/null
build/plain/ferrox --version | grep -qF -- " - $(version_of build/plain) - "
echo "plain builds ok"
