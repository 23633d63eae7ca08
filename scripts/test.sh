#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds ferrox and runs every test: in the debug build, offline as a distribution's build
# farm runs it (a network namespace with loopback alone), under AddressSanitizer and
# UndefinedBehaviorSanitizer, and in the portable build (the POSIX calls only, as on the BSDs
# and macOS); then builds without GoogleTest as a packager would, makes the source release,
# builds and checks the .deb, its -dbgsym and the .rpm from this checkout and from the
# unpacked release under another umask (the same bytes from both), builds the source RPM
# and the RPMs from the release with packaging/ferrox.spec, fuzzes the command line for a
# bounded time, and cross-builds for ARM64, 32-bit ARM and big-endian s390x and runs those
# builds under qemu-user; builds the release's static musl binaries for x86-64 and ARM64 with
# Zig, runs the end-to-end suite against the x86-64 one and the cross checks against the
# ARM64 one, checks that they rebuild to the same bytes, and compiles and links the macOS
# build for x86-64 and ARM64 (scripts/zig-builds.sh). Before all that, the cheap checks: the layout of the C++ code, the
# licence line of every source, header and script, and every script through shellcheck. A
# check that can't run says so, and fails the run when CI is set in the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
source scripts/lib/cannot_run.sh
source scripts/lib/offline.sh
if command -v clang-format >/dev/null; then
    git ls-files 'src/*.[ch]pp' 'tests/*.[ch]pp' 'bench/*.cpp' | xargs clang-format --dry-run --Werror
else
    cannot_run "clang-format not found: the format check was skipped"
fi
bash scripts/licence-lines.sh --check
# Every shell script, known by its name or its first line, and the bash completion (zsh's
# and fish's are driven by their shells in the install_tree test).
scripts=()
while IFS= read -r -d '' file; do
    case $file in
        *.sh | completion/ferrox) scripts+=("$file") ;;
        *)
            first=
            IFS= read -r first <"$file" || true
            [[ $first == '#!'*sh ]] && scripts+=("$file")
            ;;
    esac
done < <(git ls-files -z)
if command -v shellcheck >/dev/null; then
    shellcheck -x "${scripts[@]}"
else
    cannot_run "shellcheck not found: the shell scripts were not checked"
fi
passed=0
for preset in debug asan portable; do
    echo "== $preset =="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    log=$(mktemp)
    if [ "$preset" = debug ]; then
        offline ctest --preset "$preset" -j2 | tee "$log"
    else
        ctest --preset "$preset" -j2 | tee "$log"
    fi
    passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")))
    rm -f "$log"
done
bash tests/packaging/plain_build_test.sh
bash tests/packaging/release_test.sh
bash tests/packaging/rpm_spec_test.sh
bash scripts/fuzz.sh
bash scripts/cross.sh
bash scripts/zig-builds.sh
echo "$passed passed, 0 failed"
