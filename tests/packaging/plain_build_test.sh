#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# What a user or packager without GoogleTest gets: the release preset and a plain configure
# with no preset both build ferrox, with no tests and without -Werror, and say why the
# tests are off when nobody chose that; -DBUILD_TESTING=OFF leaves them out where
# GoogleTest is found. The release preset builds with debug information and hardens what
# the given flags leave alone. It is built in this checkout's build/release, which
# scripts/package.sh then finds built (the full test command runs it next); the other
# configurations in a copy of the tracked files.
set -euo pipefail
cd "$(dirname "$0")/../.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --preset release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null 2>&1
cmake --build --preset release >/dev/null
# the version the build was given, in the program's version line
version_of() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"; }
version=$(version_of build/release)
[ -n "$version" ] || { echo "no version in the CMake cache"; exit 1; }
build/release/ferrox --version | grep -qF -- " - $version - "
! grep -q -- '-Werror' build/release/compile_commands.json || { echo "release uses -Werror"; exit 1; }
[ ! -e build/release/tests ] || { echo "release configured the tests"; exit 1; }

# The release preset hardens the build; a distribution's own flags, given in CXXFLAGS and
# LDFLAGS, stay in charge of everything they mention.
grep -q -- '-fstack-protector-strong' build/release/compile_commands.json || { echo "release lacks the stack protector"; exit 1; }
grep -q -- '-D_FORTIFY_SOURCE=[23]' build/release/compile_commands.json || { echo "release lacks _FORTIFY_SOURCE"; exit 1; }
grep -q -- ' -g ' build/release/compile_commands.json || { echo "release lacks -g"; exit 1; }
if command -v g++ >/dev/null && [ "$(uname -m)" = x86_64 ]; then
    for flag in -fstack-clash-protection -fcf-protection; do
        grep -q -- "$flag " build/release/compile_commands.json || { echo "release lacks $flag"; exit 1; }
    done
fi
grep -q -- '-z,relro -Wl,-z,now' build/release/CMakeFiles/ferrox.dir/link.txt || { echo "release lacks relro and now"; exit 1; }

git ls-files -z | xargs -0 cp --parents -t "$scratch"
cd "$scratch"
CXXFLAGS="-fno-stack-protector -D_FORTIFY_SOURCE=1 -fno-stack-clash-protection -fcf-protection=none" \
    LDFLAGS="-Wl,-z,norelro -Wl,-z,lazy" \
    cmake --preset release -B build/distribution -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null 2>&1
compile=$(grep -m1 '"command"' build/distribution/compile_commands.json)
link=$(cat build/distribution/CMakeFiles/ferrox.dir/link.txt)
grep -q -- '-fno-stack-protector -D_FORTIFY_SOURCE=1 -fno-stack-clash-protection -fcf-protection=none' <<<"$compile" ||
    { echo "distribution flags lost: $compile"; exit 1; }
if grep -E -- '-fstack-protector-strong|_FORTIFY_SOURCE=[23]|-fstack-clash-protection|-fcf-protection( |$)' <<<"$compile" ||
    grep -E -- 'z,relro|z,now' <<<"$link"; then
    echo "hardening flags override the distribution's"; exit 1
fi

# CTest's switch, as debhelper gives it for nocheck: no tests, and no "not used" warning
log=$(cmake -S . -B build/nocheck -DBUILD_TESTING=OFF 2>&1)
if [ -e build/nocheck/tests ] || grep -q 'not used' <<<"$log"; then
    echo "$log"; echo "-DBUILD_TESTING=OFF was not honoured"; exit 1
fi

log=$(cmake -S . -B build/plain -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
grep -q 'Tests off: GoogleTest or zlib not found' <<<"$log" || { echo "$log"; exit 1; }
cmake --build build/plain >/dev/null
build/plain/ferrox --version | grep -qF -- " - $(version_of build/plain) - "
echo "plain builds ok"
