#!/usr/bin/env bash
# Builds the Debian and RPM packages from the release build and checks them: their file
# lists and metadata, and the .deb installed with dpkg into a scratch root (the machine's
# own packages are left alone) and run. The version comes from CMake, the architecture from
# dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "no version in the CMake cache"; exit 1; }
(cd build/release && cpack -G DEB >/dev/null && cpack -G RPM >/dev/null 2>&1)
deb=build/release/ferrox_${version}_${arch}.deb
rpm_file=$(ls build/release/ferrox-"$version"-1.*.rpm)

files=(/usr/bin/ferrox /usr/share/man/man1/ferrox.1 /usr/share/bash-completion/completions/ferrox)
deb_contents=$(dpkg-deb -c "$deb")
rpm_contents=$(rpm -qlp "$rpm_file" 2>/dev/null)
for path in "${files[@]}"; do
    grep -q " .$path\$" <<<"$deb_contents" || { echo "$deb lacks $path"; exit 1; }
    grep -qx "$path" <<<"$rpm_contents" || { echo "$rpm_file lacks $path"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')" = \
    "Package: ferrox Version: $version Architecture: $arch " ]
dpkg-deb -f "$deb" Depends | grep -q 'libc6'
rpm_info=$(rpm -qip "$rpm_file" 2>/dev/null)
grep -Eq "^Name +: ferrox$" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }
grep -Eq "^Version +: $version$" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }
grep -Eq "^Summary +: move a byte stream" <<<"$rpm_info" || { echo "$rpm_info"; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-bad-path --log=/dev/null \
    -i "$deb" >/dev/null
"$root/usr/bin/ferrox" --version
echo "packages ok: $deb $rpm_file"
