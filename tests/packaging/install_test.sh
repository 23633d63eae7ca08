#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# cmake --install into a DESTDIR gives a working ferrox with its manual page and its bash,
# zsh and fish completions, under the chosen prefix; each completion is loaded and driven by
# its own shell. A shell that isn't installed leaves its completion unchecked, and the test
# says so and counts as skipped (under CI, failed) once the others have run.
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
grep -qF -- " - $version - " <<<"$("$root/bin/ferrox" --version)"
test -f "$root/share/man/man1/ferrox.1"
grep -q 'ferrox' <<<"$(man -l "$root/share/man/man1/ferrox.1" 2>/dev/null)"
completion="$root/share/bash-completion/completions/ferrox"
test -f "$completion"
zsh_functions=$root/share/zsh/site-functions
test -f "$zsh_functions/_ferrox"
fish_completions=$root/share/fish/vendor_completions.d
test -f "$fish_completions/ferrox.fish"

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

unchecked=()
# zsh, interactive on a pseudo-terminal with compinit finding _ferrox in $fpath: Tab pressed
# once at the end of each line (tests/packaging/zsh_complete.py). What it shows (the list of
# matches with their descriptions) and the command line after it, for each line.
zsh_lines=("ferrox --un" "ferrox --unix-l" "ferrox -" "ferrox --de" "ferrox -V "
    "ferrox -s $dir/pl" "ferrox --timeout " "ferrox --timeout=" "ferrox -b " "ferrox -B "
    "ferrox -p " "ferrox --listen " "ferrox -h loc" "ferrox -h '[" "ferrox --host=\\[::"
    "ferrox --listen '[" "ferrox -P '[")
for form in "-u " "-u" "--unix-host " "--unix-host="; do
    zsh_lines+=("ferrox $form$dir/")
done
file_forms=("-U " "--unix-listen " "--unix-listen=" "-e " "-e" "--echo " "--echo=")
for form in "${file_forms[@]}"; do
    zsh_lines+=("ferrox $form$stage/d" "ferrox $form$dir/pl")
done
# the block of LINE: what zsh showed, then "-> " and the command line after the Tab
zsh_block() { awk -v line="== $1" '$0 == line { on = 1; next } on { print } on && /^-> / { exit }' <<<"$zsh_out"; }
# zsh_gives LINE AFTER: the Tab turns LINE into AFTER; zsh_lists LINE PATTERN: the list shown
# has a line that PATTERN (an extended regular expression) matches; zsh_lacks: has none
zsh_gives() {
    local after
    after=$(zsh_block "$1" | sed -n 's/^-> //p')
    [ "$after" = "$2" ] || { echo "zsh: '$1<Tab>' gives '$after', not '$2'"; status=1; }
}
# (grep reads a string, not a pipe: under pipefail, grep -q leaving early would fail the
# writer with SIGPIPE)
zsh_lists() {
    grep -qE -- "$2" <<<"$(zsh_block "$1")" || { echo "zsh: '$1<Tab>' doesn't list /$2/: $(zsh_block "$1")"; status=1; }
}
zsh_lacks() {
    ! grep -qE -- "$2" <<<"$(zsh_block "$1")" || { echo "zsh: '$1<Tab>' lists /$2/"; status=1; }
}
if command -v zsh >/dev/null; then
    # run where one file is: where a file would be offered, Tab would complete its name
    mkdir "$stage/one"
    touch "$stage/one/file"
    if ! zsh_out=$(cd "$stage/one" && PATH="$root/bin:$PATH" \
        python3 "$(dirname "$0")/zsh_complete.py" "$zsh_functions" "${zsh_lines[@]}"); then
        echo "$zsh_out"
        echo "zsh: the completion couldn't be driven"
        status=1
    fi
    zsh_gives "ferrox --un" "ferrox --unix-"
    zsh_lists "ferrox --un" '^--unix-host +-- connect to a UNIX-domain socket file'
    zsh_lists "ferrox --un" '^--unix-listen +-- listen on a UNIX-domain socket file'
    zsh_gives "ferrox --unix-l" "ferrox --unix-listen="
    zsh_lists "ferrox -" '^--version +-V +-- print the version and exit'
    zsh_lists "ferrox -" '^--timeout +-t +-- end a two-way transfer idle'
    zsh_lacks "ferrox -" '--debug|-D '
    zsh_gives "ferrox --de" "ferrox --de"
    # nothing goes with --version
    zsh_gives "ferrox -V " "ferrox -V "
    zsh_gives "ferrox -s $dir/pl" "ferrox -s $dir/plain "
    # a number, or an address without a bracket: nothing to offer
    for line in "ferrox --timeout " "ferrox --timeout=" "ferrox -b " "ferrox -B " "ferrox -p " \
        "ferrox --listen " "ferrox -h loc"; do
        zsh_gives "$line" "$line"
    done
    zsh_gives "ferrox -h '[" "ferrox -h '[::1]:"
    zsh_gives "ferrox --host=\\[::" "ferrox --host=\\[::1\\]:"
    zsh_gives "ferrox --listen '[" "ferrox --listen '[::"
    zsh_lists "ferrox --listen '[" '(^| )\[::\]:'
    zsh_lists "ferrox --listen '[" '(^| )\[::1\]:'
    zsh_gives "ferrox -P '[" "ferrox -P '[::1]:"
    # -u takes socket files alone; -U and -e any name
    for form in "-u " "-u" "--unix-host " "--unix-host="; do
        zsh_gives "ferrox $form$dir/" "ferrox $form$dir/s.sock "
    done
    for form in "${file_forms[@]}"; do
        zsh_gives "ferrox $form$stage/d" "ferrox $form$dir/"
        zsh_gives "ferrox $form$dir/pl" "ferrox $form$dir/plain "
    done
else
    unchecked+=(zsh)
fi

# fish, as it completes a line for its pager: ferrox.fish autoloaded from a directory of
# $fish_complete_path for the ferrox on PATH; each offer a line, its description after a tab.
fish_complete() {
    # fish's own variables, given the directory and the line as arguments
    # shellcheck disable=SC2016
    (cd "$dir" && PATH="$root/bin:$PATH" fish --no-config -c \
        'set -p fish_complete_path $argv[1]; complete -C $argv[2]' "$fish_completions" "$1")
}
# fish_offers LINE OFFER [DESCRIPTION]; fish_lacks LINE OFFER; fish_offers_nothing LINE
fish_offers() {
    local offered
    offered=$(fish_complete "$1")
    if [ $# -eq 3 ]; then
        grep -qxF -- "$2"$'\t'"$3" <<<"$offered" ||
            { echo "fish: '$1<Tab>' doesn't offer '$2' as '$3': $offered"; status=1; }
    else
        grep -qxF -- "$2" <<<"$(cut -f1 <<<"$offered")" ||
            { echo "fish: '$1<Tab>' doesn't offer '$2': $offered"; status=1; }
    fi
}
fish_lacks() {
    if grep -qxF -- "$2" <<<"$(cut -f1 <<<"$(fish_complete "$1")")"; then
        echo "fish: '$1<Tab>' offers '$2'"
        status=1
    fi
}
fish_offers_nothing() {
    local offered
    offered=$(fish_complete "$1")
    [ -z "$offered" ] || { echo "fish: '$1<Tab>' offers: $offered"; status=1; }
}
if command -v fish >/dev/null; then
    fish_offers "ferrox --un" --unix-host "Connect to a UNIX-domain socket file"
    fish_offers "ferrox --un" --unix-listen "Listen on a UNIX-domain socket file"
    fish_offers "ferrox -" -V "Print the version and exit"
    fish_offers "ferrox -" --credits "Print the credits and exit"
    fish_offers "ferrox -" -t "End a two-way transfer idle for this many seconds"
    fish_lacks "ferrox -" --debug
    fish_lacks "ferrox -" -D
    fish_offers_nothing "ferrox --de"
    fish_offers "ferrox -s $dir/pl" "$dir/plain"
    for line in "ferrox --timeout " "ferrox --timeout=" "ferrox -b " "ferrox -B " "ferrox -p " \
        "ferrox --listen " "ferrox -h loc"; do
        fish_offers_nothing "$line"
    done
    fish_offers "ferrox -h [" "[::1]:"
    fish_offers "ferrox --listen [" "[::]:"
    fish_offers "ferrox --listen [" "[::1]:"
    fish_offers "ferrox --listen=[" "--listen=[::1]:"
    fish_offers "ferrox -P [" "[::1]:"
    for form in "-u " "--unix-host " "--unix-host="; do
        prefix=${form%" "}
        [[ $form == *" " ]] && prefix=
        fish_offers "ferrox $form$dir/" "$prefix$dir/s.sock"
        fish_lacks "ferrox $form$dir/" "$prefix$dir/plain"
    done
    for form in "-U " "--unix-listen " "--unix-listen=" "-e " "--echo " "--echo="; do
        prefix=${form%" "}
        [[ $form == *" " ]] && prefix=
        fish_offers "ferrox $form$stage/d" "$prefix$dir/"
        fish_offers "ferrox $form$dir/pl" "$prefix$dir/plain"
    done
else
    unchecked+=(fish)
fi
[ $status -eq 0 ] || exit 1
if [ ${#unchecked[@]} -gt 0 ]; then
    cannot_run "not found: ${unchecked[*]}: the completion for each was not checked"
    exit 77
fi
echo "install tree ok"
