#!/usr/bin/env bash
# Builds ferrox and runs every test: once in the debug build, once under AddressSanitizer
# and UndefinedBehaviorSanitizer; then builds and checks the Debian package and runs each
# fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if command -v clang-format >/dev/null; then
    git ls-files 'src/*.[ch]pp' 'tests/*.[ch]pp' 'bench/*.cpp' | xargs clang-format --dry-run --Werror
fi
passed=0
for preset in debug asan; do
    echo "== $preset =="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    log=$(mktemp)
    ctest --preset "$preset" -j2 | tee "$log"
    passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")))
    rm -f "$log"
done
bash scripts/package.sh
bash scripts/fuzz.sh
echo "$passed passed, 0 failed"
