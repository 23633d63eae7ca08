#!/usr/bin/env bash
# Builds the Debian package from the release build, checks its contents, installs it with
# dpkg into a scratch root (the machine's own packages are left alone) and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
(cd build/release && cpack -G DEB >/dev/null)
deb=build/release/ferrox_1.2.0_amd64.deb

contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/ferrox ./usr/share/man/man1/ferrox.1 \
    ./usr/share/bash-completion/completions/ferrox; do
    grep -q " $path\$" <<<"$contents" || { echo "package lacks $path"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package Version | tr '\n' ' ')" = "Package: ferrox Version: 1.2.0 " ]
dpkg-deb -f "$deb" Depends | grep -q 'libc6'

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-bad-path --log=/dev/null \
    -i "$deb" >/dev/null
"$root/usr/bin/ferrox" --version
echo "package ok: $deb"
