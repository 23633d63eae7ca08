#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds ferrox four ways from the release preset (the C++ runtime linked in or shared, the
# hardening flags on or off) and compares them with builds.py: start-up, resident memory
# and transfer speed. Results go to bench/results/builds.txt. Arguments are passed to
# builds.py (--size-mib, --runs, --starts).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
builds=()
for variant in static:ON:OFF static-hardened:ON:ON shared:OFF:OFF shared-hardened:OFF:ON; do
    IFS=: read -r name static hardening <<<"$variant"
    cmake --preset release -B "build/bench-$name" -DFERROX_STATIC_RUNTIME="$static" \
        -DFERROX_HARDENING="$hardening" >/dev/null
    cmake --build "build/bench-$name" >/dev/null
    builds+=("$name=build/bench-$name/ferrox")
done
python3 bench/builds.py "${builds[@]}" "$@"
