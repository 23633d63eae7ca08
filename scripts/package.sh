#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the Debian package and the RPM from the release preset and checks them: their file
# lists and metadata, the hardening of the packaged binary, lintian and rpmlint (overrides
# in packaging/, each with its reason), and the .deb installed with dpkg into a scratch root
# (the machine's own packages are left alone) and run. It installs nothing: what it needs
# and can't find, it names. The version comes from CMake, the architecture from dpkg.
# Times come from SOURCE_DATE_EPOCH or else NEWS.md (scripts/lib/source_date.sh): the same
# sources give the same package bytes.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
need() { command -v "$1" >/dev/null || missing+=("$1 ($2)"); }
need cmake cmake
command -v c++ >/dev/null || command -v g++ >/dev/null || command -v clang++ >/dev/null ||
    missing+=("a C++20 compiler (g++)")
need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need rpmbuild rpm
need lintian lintian
need rpmlint rpmlint
need gzip gzip
need readelf binutils
if [ ${#missing[@]} -gt 0 ]; then
    echo "scripts/package.sh needs, and can't find (Debian packages in parentheses):"
    printf '  %s\n' "${missing[@]}"
    exit 1
fi

source scripts/lib/source_date.sh
SOURCE_DATE_EPOCH=$(source_date_epoch)
export SOURCE_DATE_EPOCH
cmake --preset release >/dev/null
cmake --build --preset release
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "no version in the CMake cache"; exit 1; }
rm -f build/release/ferrox[-_]*.deb build/release/ferrox-*.rpm
(cd build/release && cpack -G DEB >/dev/null && cpack -G RPM >/dev/null 2>&1)
deb=build/release/ferrox_${version}_${arch}.deb
rpm_file=$(ls build/release/ferrox-"$version"-1.*.rpm)

files=(/usr/bin/ferrox /usr/share/man/man1/ferrox.1.gz /usr/share/bash-completion/completions/ferrox)
deb_contents=$(dpkg-deb -c "$deb")
rpm_contents=$(rpm -qlp "$rpm_file" 2>/dev/null)
for path in "${files[@]}"; do
    grep -q " .$path\$" <<<"$deb_contents" || { echo "$deb lacks $path"; exit 1; }
    grep -qx "$path" <<<"$rpm_contents" || { echo "$rpm_file lacks $path"; exit 1; }
done
for path in /usr/share/doc/ferrox/copyright /usr/share/doc/ferrox/changelog.gz; do
    grep -q " .$path\$" <<<"$deb_contents" || { echo "$deb lacks $path"; exit 1; }
done
[ "$(rpm -qp --qf '[%{FILEFLAGS:fflags} %{FILENAMES}\n]' "$rpm_file" 2>/dev/null | grep LICENSE)" = \
    "l /usr/share/licenses/ferrox/LICENSE" ] || { echo "$rpm_file lacks its %license file"; exit 1; }
[ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = \
    "Package: ferrox Version: $version Architecture: $arch " ]
dpkg-deb -f "$deb" Depends | grep -q 'libc6'
rpm_info=$(rpm -qip "$rpm_file" 2>/dev/null)
grep -Eq "^Name +: ferrox$" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }
grep -Eq "^Version +: $version$" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }
grep -Eq "^License +: BSD-2-Clause$" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }
rpm -qp --changelog "$rpm_file" 2>/dev/null | grep -q "^\* .* - $version-1$" ||
    { echo "$rpm_file: no changelog entry for $version"; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-bad-path --log=/dev/null \
    -i "$deb" >/dev/null
"$root/usr/bin/ferrox" --version

# The packaged binary is hardened: position-independent, its relocations read-only and
# resolved at start, a stack protector and checked string and memory calls.
binary=$root/usr/bin/ferrox
header=$(readelf -h "$binary") segments=$(readelf -lW "$binary") dynamic=$(readelf -d "$binary")
symbols=$(readelf --dyn-syms -W "$binary")
grep -q 'Type: *DYN' <<<"$header" || { echo "$binary is not position-independent"; exit 1; }
grep -q GNU_RELRO <<<"$segments" || { echo "$binary has no relro"; exit 1; }
grep -q BIND_NOW <<<"$dynamic" || { echo "$binary is not linked with -z now"; exit 1; }
grep -q __stack_chk_fail <<<"$symbols" || { echo "$binary has no stack protector"; exit 1; }
grep -Eq '__[a-z]+_chk@' <<<"$symbols" || { echo "$binary has no fortified calls"; exit 1; }

# The distributions' checkers, clean: nothing but what packaging/ overrides with a reason.
lint=$(lintian -I --pedantic --fail-on error,warning,info,pedantic "$deb" 2>/dev/null) ||
    { echo "$lint"; echo "lintian failed"; exit 1; }
[ -z "$lint" ] || { echo "$lint"; echo "lintian complained"; exit 1; }
lint=$(rpmlint -c packaging/rpmlint.toml "$rpm_file" 2>/dev/null) ||
    { echo "$lint"; echo "rpmlint failed"; exit 1; }
grep -q ' 0 errors, 0 warnings' <<<"$lint" || { echo "$lint"; echo "rpmlint complained"; exit 1; }
echo "packages ok: $deb $rpm_file"
