#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the fuzz targets with clang and runs each for a bounded time (15 seconds by
# default, FUZZ_SECONDS to change it) from the seed corpus in tests/fuzz/corpus. New inputs
# go to a scratch directory, so the committed corpus stays as it is. Without clang it says
# so and does nothing, or fails when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/cannot_run.sh
seconds=${FUZZ_SECONDS:-15}
if ! command -v clang++ >/dev/null; then
    cannot_run "clang++ not found: fuzzing was skipped"
    exit 0
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in fuzz_size fuzz_timeout fuzz_host_port fuzz_scan; do
    mkdir -p "$scratch/$target"
    echo "== $target for ${seconds}s =="
    if ! "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" \
        "$scratch/$target" "tests/fuzz/corpus/$target" >"$scratch/$target.log" 2>&1; then
        grep -v '^#' "$scratch/$target.log" | tail -n 30
        echo "$target failed"
        exit 1
    fi
    grep -E '^Done [0-9]+ runs' "$scratch/$target.log" || true
done
