#!/usr/bin/env bash
# cmake --install into a DESTDIR gives a working ferrox with its manual page and its bash
# completion, under the chosen prefix.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /opt/ferrox-test >/dev/null
root="$stage/opt/ferrox-test"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no version in the CMake cache"; exit 1; }
"$root/bin/ferrox" --version | grep -qF -- " - $version - "
test -f "$root/share/man/man1/ferrox.1"
man -l "$root/share/man/man1/ferrox.1" 2>/dev/null | grep -q 'ferrox'
completion="$root/share/bash-completion/completions/ferrox"
test -f "$completion"

# The completion offers long and short options, and socket files for -u.
mkdir "$stage/dir"
python3 -c "import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])" "$stage/dir/s.sock"
touch "$stage/dir/plain"
complete_words() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _ferrox; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$completion" "$@"
}
complete_words ferrox --unix-l | grep -qx -- '--unix-listen'
complete_words ferrox -V | grep -qx -- '-V'
complete_words ferrox -u "$stage/dir/" | grep -qx -- "$stage/dir/s.sock"
! complete_words ferrox -u "$stage/dir/" | grep -qx -- "$stage/dir/plain"
# a listener's socket file is yet to be made: directories and any file names are offered
complete_words ferrox -U "$stage/d" | grep -qx -- "$stage/dir"
complete_words ferrox --unix-listen "$stage/dir/pl" | grep -qx -- "$stage/dir/plain"
complete_words ferrox --echo "$stage/dir/pl" | grep -qx -- "$stage/dir/plain"
echo "install tree ok"
