#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# packaging/ferrox.spec as a distribution's build farm uses it: rpmbuild -ba from the source
# release (build/ferrox-<version>.tar.gz, made again: it takes a second), offline as mock builds
# (scripts/lib/offline.sh), gives the source RPM, the RPM and its -debuginfo RPM, with the
# tests run in %check; rpmlint finds nothing in packaging/ferrox.spec or in them (packaging/rpmlint.toml);
# the binary is hardened and stripped, its debug file in the -debuginfo RPM under its build
# id; the recipe's version and newest changelog entry are NEWS.md's. The build requirements
# are Fedora's package names, which this Debian machine's rpm database doesn't hold: rpmbuild
# is told not to look them up (--nodeps).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/cannot_run.sh
source scripts/lib/offline.sh
source scripts/lib/hardening_check.sh
recipe=packaging/ferrox.spec
version=$(sed -n 's/^project(ferrox VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ "$(sed -n 's/^Version: *//p' "$recipe")" = "$version" ] || { echo "$recipe: not version $version"; exit 1; }
news_day=$(sed -n 's/^## [0-9.]* (\([0-9-]*\))$/\1/p' NEWS.md | head -n 1)
entry="* $(LC_ALL=C date -u -d "$news_day" '+%a %b %d %Y') the ferrox authors - $version-1"
[ "$(grep -m1 '^\* ' "$recipe")" = "$entry" ] ||
    { echo "$recipe: the newest changelog entry isn't \"$entry\" (NEWS.md)"; exit 1; }
# its lines are NEWS.md's, without the backticks (as cmake/package_tree.cmake writes them)
news_lines=$(sed -n '/^## /{n;:next n;/^## /q;p;b next}' NEWS.md | sed '/^$/d; s/`//g')
recipe_lines=$(sed -n '/^\* /{:next n;/^\* /q;p;b next}' "$recipe" | sed '/^$/d')
[ "$news_lines" = "$recipe_lines" ] ||
    { diff <(echo "$news_lines") <(echo "$recipe_lines"); echo "$recipe: the changelog entry isn't NEWS.md's"; exit 1; }

bash scripts/source-tarball.sh >/dev/null
top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
log=$top/rpmbuild.log
# rpm's brp-compress, which gzips the manual page, reads with bash's "read -d": Debian's
# /bin/sh, which its first line names, is dash, so bash is told to run it.
# The test command has run the whole suite three times by now: %check here shows that the
# tests build and run from the source release, with the unit tests alone.
if ! offline rpmbuild -ba --nodeps --define "_topdir $top" --define "_sourcedir $PWD/build" \
    --define '__brp_compress bash %{_rpmconfigdir}/brp-compress %{?_prefix}' \
    --define 'ferrox_ctest_args -L unit' \
    "$recipe" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "rpmbuild -ba $recipe failed"
    exit 1
fi
grep -q '100% tests passed' "$log" || { tail -n 40 "$log"; echo "%check ran no tests"; exit 1; }
arch=$(rpm --eval '%{_arch}')
srpm=$(ls "$top"/SRPMS/ferrox-"$version"-1*.src.rpm)
binary_rpm=$(ls "$top"/RPMS/"$arch"/ferrox-"$version"-1*."$arch".rpm)
debuginfo=$(ls "$top"/RPMS/"$arch"/ferrox-debuginfo-"$version"-1*."$arch".rpm)

grep -qx "ferrox-$version.tar.gz" <<<"$(rpm -qlp "$srpm" 2>/dev/null)" || { echo "$srpm lacks the source release"; exit 1; }
contents=$(rpm -qlp "$binary_rpm" 2>/dev/null)
# (the licence's folder is ferrox-<version> where rpm's macros keep the older name)
for path in /usr/bin/ferrox /usr/share/man/man1/ferrox[.]1[.]gz \
    /usr/share/bash-completion/completions/ferrox /usr/share/zsh/site-functions/_ferrox \
    /usr/share/fish/vendor_completions.d/ferrox[.]fish "/usr/share/licenses/ferrox(-$version)?/LICENSE"; do
    grep -qxE "$path" <<<"$contents" || { echo "$binary_rpm lacks $path: $contents"; exit 1; }
done
root=$top/root
mkdir "$root"
for package in "$binary_rpm" "$debuginfo"; do
    (cd "$root" && rpm2cpio "$package" | cpio -id --quiet)
done
binary=$root/usr/bin/ferrox
"$binary" --version | grep -qF -- " - $version - "
check_hardening "$binary"
! grep -q '\.debug_info' <<<"$(readelf -S "$binary")" || { echo "$binary is not stripped"; exit 1; }
build_id=$(readelf -n "$binary" | sed -n 's/.*Build ID: //p')
debug_link=$root/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
grep -q '\.debug_info' <<<"$(readelf -S "$debug_link" 2>/dev/null)" ||
    { echo "$debuginfo: no debug file under the build id $build_id"; exit 1; }

lint=$(rpmlint -c packaging/rpmlint.toml "$recipe" "$srpm" "$binary_rpm" "$debuginfo" 2>&1) ||
    { echo "$lint"; echo "rpmlint failed"; exit 1; }
grep -q ' 0 errors, 0 warnings' <<<"$lint" || { echo "$lint"; echo "rpmlint complained"; exit 1; }
echo "$lint" | tail -n 1
echo "rpm recipe ok: $(basename "$srpm") $(basename "$binary_rpm") $(basename "$debuginfo")"
