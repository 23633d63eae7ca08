#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the Debian package, its -dbgsym package of debug symbols and the RPM from the
# release preset and checks them: their file lists and metadata, the hardening of the
# packaged binary (readelf and hardening-check), the debug file that the binary names,
# lintian and rpmlint (overrides in packaging/, each with its reason), and the .debs
# installed with dpkg into a scratch root (the machine's own packages are left alone) and
# run. It installs nothing: what it needs and can't find, it names. The version comes from
# CMake, the architecture from dpkg. Times come from SOURCE_DATE_EPOCH or else NEWS.md
# (scripts/lib/source_date.sh), and nothing depends on the umask: the same sources give the
# same package bytes.
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
need objcopy binutils
need objdump binutils
need hardening-check devscripts
if [ ${#missing[@]} -gt 0 ]; then
    echo "scripts/package.sh needs, and can't find (Debian packages in parentheses):"
    printf '  %s\n' "${missing[@]}"
    exit 1
fi

source scripts/lib/source_date.sh
source scripts/lib/hardening_check.sh
SOURCE_DATE_EPOCH=$(source_date_epoch)
export SOURCE_DATE_EPOCH
cmake --preset release >/dev/null
cmake --build --preset release
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "no version in the CMake cache"; exit 1; }
rm -f build/release/ferrox[-_]*.deb build/release/ferrox-*.rpm
# The packages' trees have the modes that cmake/packaging.cmake gives them, whatever the
# umask; CPack's .deb writer, though, gives the members of the ar archive the modes of the
# files it writes them from, so it runs under the usual umask.
(cd build/release && umask 022 && cpack -G DEB >/dev/null && cpack -G RPM >/dev/null 2>&1)
deb=build/release/ferrox_${version}_${arch}.deb
rpm_file=$(ls build/release/ferrox-"$version"-1.*.rpm)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The -dbgsym package, as Debian's debhelper makes one: the debug file that
# cmake/package_tree.cmake split off the .deb's binary, under its build id.
dbgsym=build/release/ferrox-dbgsym_${version}_${arch}.deb
tree=$scratch/dbgsym
mkdir -p "$tree/DEBIAN" "$tree/usr/share/doc"
cp -R build/release/debug-symbols/DEB/usr "$tree/"
ln -s ferrox "$tree/usr/share/doc/ferrox-dbgsym"
debug_files=$(cd "$tree" && find usr/lib/debug -type f | LC_ALL=C sort)
[ "$(wc -l <<<"$debug_files")" -eq 1 ] || { echo "not one debug file: $debug_files"; exit 1; }
build_id=$(sed 's|^usr/lib/debug/.build-id/||; s|/||; s|\.debug$||' <<<"$debug_files")
(cd "$tree" && md5sum "$debug_files" >DEBIAN/md5sums)
# in KiB as dpkg-gencontrol counts it: each file rounded up, each directory and link 1
size=$(find "$tree/usr" -printf '%y %s\n' | awk '{ n += $1 == "f" ? int(($2 + 1023) / 1024) : 1 } END { print n }')
cat >"$tree/DEBIAN/control" <<EOF
Package: ferrox-dbgsym
Source: ferrox
Version: $version
Auto-Built-Package: debug-symbols
Architecture: $arch
Maintainer: $(dpkg-deb -f "$deb" Maintainer)
Installed-Size: $size
Depends: ferrox (= $version)
Section: debug
Priority: optional
Description: debug symbols for ferrox
Build-Ids: $build_id
EOF
chmod -R u=rwX,go=rX "$tree"
find "$tree" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$tree" "$dbgsym" >/dev/null

files=(/usr/bin/ferrox /usr/share/man/man1/ferrox.1.gz /usr/share/bash-completion/completions/ferrox
    /usr/share/fish/vendor_completions.d/ferrox.fish)
deb_contents=$(dpkg-deb -c "$deb")
rpm_contents=$(rpm -qlp "$rpm_file" 2>/dev/null)
for path in "${files[@]}"; do
    grep -q " .$path\$" <<<"$deb_contents" || { echo "$deb lacks $path"; exit 1; }
    grep -qx "$path" <<<"$rpm_contents" || { echo "$rpm_file lacks $path"; exit 1; }
done
# zsh's completion where each system's zsh looks for a package's: Debian's in
# vendor-completions, the others' in site-functions
for path in /usr/share/doc/ferrox/copyright /usr/share/doc/ferrox/changelog.gz \
    /usr/share/zsh/vendor-completions/_ferrox; do
    grep -q " .$path\$" <<<"$deb_contents" || { echo "$deb lacks $path"; exit 1; }
done
! grep -q site-functions <<<"$deb_contents" || { echo "$deb has a zsh site-functions folder"; exit 1; }
grep -qx /usr/share/zsh/site-functions/_ferrox <<<"$rpm_contents" ||
    { echo "$rpm_file lacks /usr/share/zsh/site-functions/_ferrox"; exit 1; }
[ "$(rpm -qp --qf '[%{FILEFLAGS:fflags} %{FILENAMES}\n]' "$rpm_file" 2>/dev/null | grep LICENSE)" = \
    "l /usr/share/licenses/ferrox/LICENSE" ] || { echo "$rpm_file lacks its %license file"; exit 1; }
[ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = \
    "Package: ferrox Version: $version Architecture: $arch " ]
# grep reads strings here: under pipefail, a grep -q that leaves a pipe early fails its writer
grep -q 'libc6' <<<"$(dpkg-deb -f "$deb" Depends)"
rpm_info=$(rpm -qip "$rpm_file" 2>/dev/null)
grep -Eq "^Name +: ferrox$" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }
grep -Eq "^Version +: $version$" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }
grep -Eq "^License +: BSD-2-Clause$" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }
grep -q "^\* .* - $version-1$" <<<"$(rpm -qp --changelog "$rpm_file" 2>/dev/null)" ||
    { echo "$rpm_file: no changelog entry for $version"; exit 1; }

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-bad-path --log=/dev/null \
    -i "$deb" >/dev/null
"$root/usr/bin/ferrox" --version

# The packaged binary is hardened: position-independent, its relocations read-only and
# resolved at start, a stack protector and checked string and memory calls, and (as
# hardening-check sees them) stack clash and control-flow protection. It is stripped, and
# names its debug file, which the -dbgsym package holds under its build id.
binary=$root/usr/bin/ferrox
header=$(readelf -h "$binary") segments=$(readelf -lW "$binary") dynamic=$(readelf -d "$binary")
symbols=$(readelf --dyn-syms -W "$binary")
grep -q 'Type: *DYN' <<<"$header" || { echo "$binary is not position-independent"; exit 1; }
grep -q GNU_RELRO <<<"$segments" || { echo "$binary has no relro"; exit 1; }
grep -q BIND_NOW <<<"$dynamic" || { echo "$binary is not linked with -z now"; exit 1; }
grep -q __stack_chk_fail <<<"$symbols" || { echo "$binary has no stack protector"; exit 1; }
grep -Eq '__[a-z]+_chk@' <<<"$symbols" || { echo "$binary has no fortified calls"; exit 1; }
check_hardening "$binary"
! grep -q '\.debug_info' <<<"$(readelf -S "$binary")" || { echo "$binary is not stripped"; exit 1; }
[ "$(readelf -n "$binary" | sed -n 's/.*Build ID: //p')" = "$build_id" ] ||
    { echo "$binary: not build id $build_id"; exit 1; }
grep -qF "${build_id:2}.debug" <<<"$(readelf -p .gnu_debuglink "$binary")" ||
    { echo "$binary doesn't name its debug file"; exit 1; }
dpkg --root="$root" --force-depends --force-not-root --force-bad-path --log=/dev/null \
    -i "$dbgsym" >/dev/null
grep -q '\.debug_info' <<<"$(readelf -S "$root/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug" 2>/dev/null)" ||
    { echo "$dbgsym: no debug information under the build id"; exit 1; }

# The distributions' checkers, clean: nothing but what packaging/ overrides with a reason.
lint=$(lintian -I --pedantic --fail-on error,warning,info,pedantic "$deb" 2>/dev/null) ||
    { echo "$lint"; echo "lintian failed"; exit 1; }
[ -z "$lint" ] || { echo "$lint"; echo "lintian complained"; exit 1; }
# A debug symbols package carries nothing but its debug files, so no overrides either: the
# one that packaging/lintian-overrides gives for the maintainer without an address (see
# there) is given here. Its /usr/share/doc/ferrox-dbgsym links to ferrox's, which is built
# from the same source, as Debian's own -dbgsym packages do; lintian can tell that only
# from a .changes file, which a CPack build has none of, and says so.
lint=$(lintian -I --pedantic --fail-on error,warning,info,pedantic \
    --suppress-tags malformed-contact,cannot-check-whether-usr-share-doc-symlink-points-to-foreign-package \
    "$dbgsym" 2>/dev/null) || { echo "$lint"; echo "lintian failed on $dbgsym"; exit 1; }
[ -z "$lint" ] || { echo "$lint"; echo "lintian complained about $dbgsym"; exit 1; }
lint=$(rpmlint -c packaging/rpmlint.toml "$rpm_file" 2>/dev/null) ||
    { echo "$lint"; echo "rpmlint failed"; exit 1; }
grep -q ' 0 errors, 0 warnings' <<<"$lint" || { echo "$lint"; echo "rpmlint complained"; exit 1; }
echo "packages ok: $deb $dbgsym $rpm_file"
