#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The manual page renders, passes mandoc's lint without warnings, its footer names the
# version that CMakeLists.txt gives, and its OPTIONS section names every option of the
# option table, long and short.
set -euo pipefail
# shellcheck source=scripts/lib/cannot_run.sh
source "$(dirname "$0")/../../scripts/lib/cannot_run.sh"
skip_unless_found mandoc man col
page=$1
lint=$(mandoc -T lint -W warning "$page" 2>&1) || { echo "$lint"; exit 1; }
[ -z "$lint" ] || { echo "$lint"; exit 1; }
version=$(sed -n 's/^project(ferrox VERSION \([0-9.]*\) .*/\1/p' "$(dirname "$page")/../CMakeLists.txt")
grep -qx "\.Os ferrox $version" "$page" || { echo "$page: no \".Os ferrox $version\" for the footer"; exit 1; }

rendered=$(MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)
options=$(printf '%s\n' "$rendered" | sed -n '/^OPTIONS/,/^[A-Z][A-Z ]*$/p' | sed '$d')
[ -n "$options" ] || { echo "no OPTIONS section"; exit 1; }
status=0
for pair in B:socket-buffer b:buffer-size c:continue D:debug e:echo h:host i:input l:listen \
    n:nobuf o:output p:port P:bind-port q:quiet s:sum t:timeout U:unix-listen u:unix-host \
    v:verbose H:help V:version C:credits; do
    short=${pair%%:*} long=${pair#*:}
    grep -q -- "-$short, --$long\b" <<<"$options" || { echo "OPTIONS lacks -$short, --$long"; status=1; }
done
# A flag macro inside a parenthesis macro turns every later word of the line into a flag:
# "(a socket path when -u -is -given -too)".
if grep -nE -- '-[a-zA-Z] -[a-z]{2,} -[a-z]{2,}' <<<"$rendered"; then
    echo "words rendered as flags"; status=1
fi
# Text after a display starts a paragraph of its own, and no sentence ends in a doubled
# period ("unix:.." where a quoted line ending in a period ended the sentence).
if awk 'previous == ".Ed" && $0 !~ /^\./ { print FILENAME ":" NR ": text right after .Ed, without .Pp"; found = 1 }
        { previous = $0 } END { exit !found }' "$page"; then
    status=1
fi
if grep -nE '(^|[^.])\.\.($|[^.])' <<<"$rendered"; then
    echo "a doubled period"; status=1
fi
for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$rendered" || { echo "no $section section"; status=1; }
done
exit $status
