#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# cmake --install into a DESTDIR gives a working ferrox with its manual page and its bash
# completion, under the chosen prefix.
set -euo pipefail
# shellcheck source=scripts/lib/cannot_run.sh
source "$(dirname "$0")/../../scripts/lib/cannot_run.sh"
skip_unless_found man python3
framework=/usr/share/bash-completion/bash_completion
[ -f "$framework" ] || { cannot_run "not found: $framework (bash-completion): the check was skipped"; exit 77; }
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

# The completion, loaded by bash-completion as an interactive shell would load it, offers
# the documented options (never the hidden -D, --debug), socket files for -u and any name
# for -U and -e, with the value after a space or after "=".
dir=$stage/dir
mkdir "$dir"
python3 -c "import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])" "$dir/s.sock"
touch "$dir/plain"
# What is offered for the last word of a command line with the cursor at its end; its words
# as bash hands them over, "=" a word of its own (COMP_WORDBREAKS).
complete_line() {
    bash -c '
        source "$1"
        source "$2"
        COMP_LINE=$3
        COMP_POINT=${#COMP_LINE}
        read -ra COMP_WORDS <<<"${COMP_LINE//=/ = }"
        [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _ferrox ferrox "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"' _ "$framework" "$completion" "$1"
}
status=0
# offers LINE WORD: WORD is among what is offered; lacks LINE WORD: it is not; offers_nothing LINE
offers() {
    local offered
    offered=$(complete_line "$1")
    grep -qxF -- "$2" <<<"$offered" || { echo "'$1<Tab>' doesn't offer '$2': $offered"; status=1; }
}
lacks() {
    local offered
    offered=$(complete_line "$1")
    if grep -qxF -- "$2" <<<"$offered"; then echo "'$1<Tab>' offers '$2'"; status=1; fi
}
offers_nothing() {
    local offered
    offered=$(complete_line "$1")
    [ -z "$offered" ] || { echo "'$1<Tab>' offers: $offered"; status=1; }
}
offers "ferrox --unix-l" --unix-listen
offers "ferrox -V" -V
offers "ferrox --" --credits
lacks "ferrox --" --debug
lacks "ferrox -" -D
offers_nothing "ferrox --de"
for form in "-u " "--unix-host " "--unix-host="; do
    offers "ferrox $form$dir/" "$dir/s.sock"
    lacks "ferrox $form$dir/" "$dir/plain"
done
for form in "-U " "--unix-listen " "--unix-listen=" "-e " "--echo " "--echo="; do
    offers "ferrox $form$stage/d" "$dir"
    offers "ferrox $form$dir/pl" "$dir/plain"
done
offers_nothing "ferrox --listen "
# an opening bracket shows how an IPv6 address is written; nothing is offered without one
offers "ferrox --listen [" "[::]:"
offers "ferrox -l [::1" "[::1]:"
offers "ferrox --host [" "[::1]:"
offers "ferrox -P [" "[::1]:"
offers_nothing "ferrox --host loc"
offers_nothing "ferrox --timeout="
offers_nothing "ferrox --continue="
offers "ferrox -s $dir/pl" "$dir/plain"
[ $status -eq 0 ] || exit 1
echo "install tree ok"
