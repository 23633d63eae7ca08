#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds ferrox and tests it.
#
#     bash scripts/test.sh          the quick command, for every change
#     bash scripts/test.sh --all    everything, as CI runs it
#
# The quick command: the cheap checks (the layout of the C++ code, the licence line of every
# source, header and script, every script through shellcheck), then the suite in the debug
# build, offline as a distribution's build farm runs it (a network namespace with loopback
# alone), under AddressSanitizer and UndefinedBehaviorSanitizer, and in the portable build
# (the POSIX calls only, as on the BSDs and macOS), each without the tests labelled slow
# (tests/CMakeLists.txt says which, and why). It installs only what it runs
# (scripts/install-deps.sh), and at its end names what it left to --all.
#
# --all adds the slow tests to each suite, then builds without GoogleTest as a packager
# would, makes the source release, builds and checks the .deb, its -dbgsym and the .rpm from
# this checkout (reusing the plain build) and from the unpacked release under another umask
# (the same bytes from both), builds the source RPM and the RPMs from the release with
# packaging/ferrox.spec, fuzzes the command line for a bounded time, and cross-builds for
# ARM64, 32-bit ARM and big-endian s390x and runs those builds under qemu-user; builds the
# release's static musl binaries for x86-64 and ARM64 with Zig, runs the end-to-end suite
# against the x86-64 one and the cross checks against the ARM64 one, checks that they
# rebuild to the same bytes, and compiles and links the macOS build for x86-64 and ARM64
# (scripts/zig-builds.sh).
#
# A check that can't run says so, and fails the run when CI is set in the environment. Each
# step's time is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-} in
    "") all= ;;
    --all) all=1 ;;
    *)
        echo "usage: bash scripts/test.sh [--all]" >&2
        exit 2
        ;;
esac
started=$SECONDS
steps=()
# timed NAME COMMAND...: runs the command and notes how long it took
timed() {
    local name=$1 from=$SECONDS
    shift
    "$@"
    steps+=("$(printf '%5d s  %s' $((SECONDS - from)) "$name")")
}

timed "installs" bash scripts/install-deps.sh ${all:+--all}
source scripts/lib/cannot_run.sh
source scripts/lib/offline.sh

cheap_checks() {
    if command -v clang-format >/dev/null; then
        git ls-files 'src/*.[ch]pp' 'tests/*.[ch]pp' 'bench/*.cpp' | xargs clang-format --dry-run --Werror
    else
        cannot_run "clang-format not found: the format check was skipped"
    fi
    bash scripts/licence-lines.sh --check
    # Every shell script, known by its name or its first line, and the bash completion
    # (zsh's and fish's are driven by their shells in the install_tree test).
    local scripts=() file first
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
}
timed "format, licence lines, shellcheck" cheap_checks

# The end-to-end tests mostly wait on their peers, so the suite runs four at a time on two
# cores; the quick command leaves out those labelled slow.
ctest_options=(-j4)
[ -n "$all" ] || ctest_options+=(-LE slow)
passed=0
suite() {
    local preset=$1 log
    log=$(mktemp)
    if [ "$preset" = debug ]; then
        offline ctest --preset "$preset" "${ctest_options[@]}" | tee "$log"
    else
        ctest --preset "$preset" "${ctest_options[@]}" | tee "$log"
    fi
    passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")))
    rm -f "$log"
}
for preset in debug asan portable; do
    echo "== $preset =="
    cmake --preset "$preset" >/dev/null
    timed "$preset: build" cmake --build --preset "$preset"
    timed "$preset: tests" suite "$preset"
done

if [ -n "$all" ]; then
    timed "plain builds" bash tests/packaging/plain_build_test.sh
    timed "source release and packages, twice" bash tests/packaging/release_test.sh
    timed "RPMs from packaging/ferrox.spec" bash tests/packaging/rpm_spec_test.sh
    timed "fuzzing" bash scripts/fuzz.sh
    timed "cross builds under qemu-user" bash scripts/cross.sh
    timed "static musl and macOS builds (Zig)" bash scripts/zig-builds.sh
fi

echo "== time taken =="
printf '%s\n' "${steps[@]}"
printf '%5d s  in all\n' $((SECONDS - started))
if [ -z "$all" ]; then
    slow=$(ctest --preset debug -N -L slow | sed -n 's/^Total Tests: //p')
    cat <<EOF
== not run by the quick command ==
These are left to \`bash scripts/test.sh --all\` (what CI runs):
  - the $slow tests labelled slow, in each of the three suites
  - the plain builds without GoogleTest
  - the source release and the .deb, -dbgsym .deb and .rpm packages, and that they rebuild
    to the same bytes
  - the source RPM and the RPMs from packaging/ferrox.spec
  - fuzzing (bash scripts/fuzz.sh)
  - the cross builds for ARM64, 32-bit ARM and s390x under qemu-user
    (bash scripts/cross.sh [aarch64|armhf|s390x], after this command)
  - the static musl binaries with their end-to-end suite, and the macOS builds
    (bash scripts/zig-builds.sh, after this command and scripts/install-deps.sh --all)
EOF
fi
echo "$passed passed, 0 failed"
