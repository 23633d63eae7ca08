#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# A check that can't run is reported; it fails the run only when CI is set. A test whose
# commands are missing is skipped (status 77), and fails under CI.
set -euo pipefail
helper=$1
# The inner shells expand their own "$1", the helper's path.
# shellcheck disable=SC2016
out=$(env -u CI bash -c 'source "$1"; cannot_run "clang-format not found"; echo "went on"' _ "$helper")
[ "$out" = $'clang-format not found\nwent on' ] || { echo "without CI: $out"; exit 1; }
if out=$(CI=true bash -c 'source "$1"; cannot_run "clang-format not found"; echo "went on"' _ "$helper"); then
    echo "under CI the run went on: $out"
    exit 1
fi
grep -q 'CI is set' <<<"$out" || { echo "under CI: $out"; exit 1; }

# skip_unless_found with CI set to $1 (empty: unset) and the commands that follow
skip() {
    local ci=$1
    shift
    # shellcheck disable=SC2016
    CI=$ci bash -c 'source "$1"; shift; skip_unless_found "$@"; echo "went on"' _ "$helper" "$@"
}
out=$(skip "" bash sh) || { echo "with every command found: $out"; exit 1; }
[ "$out" = "went on" ] || { echo "with every command found: $out"; exit 1; }
status=0
out=$(skip "" bash no-such-tool-a no-such-tool-b) || status=$?
if [ "$status" -ne 77 ] || [ "$out" != "not found: no-such-tool-a no-such-tool-b: the check was skipped" ]; then
    echo "without CI, status $status: $out"
    exit 1
fi
status=0
out=$(skip true no-such-tool-a) || status=$?
if [ "$status" -ne 1 ] || ! grep -q 'CI is set' <<<"$out"; then
    echo "under CI, status $status: $out"
    exit 1
fi
echo "cannot_run ok"
