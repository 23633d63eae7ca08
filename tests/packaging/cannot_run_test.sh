#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# A check that can't run is reported; it fails the run only when CI is set.
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
echo "cannot_run ok"
