#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Every source, header and script that git tracks starts with the line
# "SPDX-License-Identifier: BSD-2-Clause" in its own comment syntax (after the "#!" line of
# a script, or the "#compdef" line that zsh reads first in a completion): C++ sources and headers and their templates, CMake files, Python, RPM specs,
# shell scripts known by name or first line, the shells' completions, the manual page, and any
# other file that starts with "#!". Expected outputs, test inputs, documentation and data
# don't.
# With --check it lists the files that lack the line and fails; without, it adds the line
# to them.
set -euo pipefail
cd "$(dirname "$0")/.."
tag="SPDX-License-Identifier: BSD-2-Clause"

# The comment that carries the tag in FILE, or nothing when FILE needs none.
licence_line() {
    local file=$1 first=''
    IFS= read -r first <"$file" || true
    case $file in
        *.cpp | *.hpp | *.hpp.in) echo "// $tag" ;;
        *.1) echo ".\\\" $tag" ;;
        CMakeLists.txt | */CMakeLists.txt | *.cmake | *.py | *.sh | *.spec | completion/*) echo "# $tag" ;;
        *) [[ $first == '#!'* ]] && echo "# $tag" ;;
    esac
    return 0
}

# insert_after FILE N LINE: LINE after the first N lines of FILE, its mode kept.
insert_after() {
    local text
    text=$({ head -n "$2" "$1"; printf '%s\n' "$3"; tail -n +"$(($2 + 1))" "$1"; } && echo .)
    printf '%s' "${text%.}" >"$1"
}

# The whole run is one function, read before it starts: the script may add the line to
# itself.
main() {
    local check=false lacking=() file line first second
    [ "${1:-}" = "--check" ] && check=true
    while IFS= read -r -d '' file; do
        [ -f "$file" ] || continue
        line=$(licence_line "$file")
        [ -n "$line" ] || continue
        first='' second=''
        { IFS= read -r first || true; IFS= read -r second || true; } <"$file"
        if [[ $first == '#!'* || $first == '#compdef '* ]]; then
            [ "$second" = "$line" ] && continue
            $check || insert_after "$file" 1 "$line"
        else
            [ "$first" = "$line" ] && continue
            $check || insert_after "$file" 0 "$line"
        fi
        lacking+=("$file")
    done < <(git ls-files -z)

    if ! $check; then
        for file in "${lacking[@]}"; do
            echo "added to $file"
        done
    elif [ ${#lacking[@]} -gt 0 ]; then
        echo "these files don't start with \"$tag\" (scripts/licence-lines.sh adds it):"
        printf '  %s\n' "${lacking[@]}"
        exit 1
    fi
}
main "$@"; exit
