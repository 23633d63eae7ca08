#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The builds with Zig's C++ compiler (scripts/lib/zig.sh), in the full test command
# (scripts/test.sh --all):
# - the release's static musl binaries (scripts/static-binaries.sh), for x86-64 and ARM64;
# - the x86-64 one's unit tests, and the whole end-to-end suite of the debug build run
#   against it (FERROX_TEST_WRAPPER), in two shards side by side. The system's messages are
#   taken from musl (its own error_texts helper); the tests that preload a library into
#   ferrox skip, since a static binary loads none;
# - the ARM64 one under qemu-user, with the checks that scripts/cross.sh gives the other
#   cross builds (unit tests, transfers against this machine's build, the end-to-end subset);
# - both built again from the unpacked source release, in another folder: the same bytes;
# - macOS for x86-64 and ARM64, from the POSIX calls with macOS's count of unacknowledged
#   bytes (SO_NWRITE), compiled and linked with -Werror against the SDK that Zig carries; it
#   can't run here.
# FreeBSD can't be built: Zig carries no FreeBSD headers, and neither Debian nor npm has them.
# Needs the debug build of the test command (its end-to-end tests and this machine's ferrox).
# A check that can't run says so, and fails the run under CI.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/cannot_run.sh
source scripts/lib/zig.sh
if [ ! -x build/debug/ferrox ] || [ ! -x build/debug/tests/e2e_tests ]; then
    echo "zig-builds.sh needs the debug build: cmake --preset debug && cmake --build --preset debug" >&2
    exit 1
fi
if ! zig_ready; then
    cannot_run "Zig $zig_version is not installed (scripts/install-deps.sh --all installs it): the static musl and macOS builds were skipped"
    exit 0
fi
zig_env
work=$(mktemp -d)
e2e_pids=()
# (the end-to-end shards, by their ids, should the run stop before they end)
trap '[ ${#e2e_pids[@]} -eq 0 ] || kill "${e2e_pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT

echo "== the static musl binaries =="
started=$SECONDS
mapfile -t artifacts < <(bash scripts/static-binaries.sh)
for artifact in "${artifacts[@]}"; do
    (cd build && sha256sum -c "$(basename "$artifact").sha256")
    head -c 4 "$artifact" | grep -q 'ELF' || { echo "$artifact: not an ELF file"; exit 1; }
    # statically linked: no program interpreter, no dynamic section
    ! grep -q 'INTERP\|DYNAMIC' <<<"$(readelf -lW "$artifact")" || { echo "$artifact is not static"; exit 1; }
done
"${artifacts[0]}" --version | head -n 1
cmake --build --preset musl-x86_64
echo "built in $((SECONDS - started)) s"
ctest --preset musl-x86_64 -j2

echo "== the end-to-end suite against the static x86-64 binary (in the background) =="
static=$PWD/build/musl-x86_64/ferrox
for shard in 0 1; do
    FERROX_TEST_WRAPPER="bash $PWD/scripts/lib/run_instead.sh $static" FERROX_TEST_STATIC=1 \
        FERROX_TEST_ERROR_TEXTS="$PWD/build/musl-x86_64/tests/error_texts" \
        GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard \
        timeout 900 build/debug/tests/e2e_tests --gtest_brief=1 >"$work/e2e-$shard.log" 2>&1 &
    e2e_pids+=($!)
done
e2e_started=$SECONDS

echo "== the static ARM64 binary under qemu-user =="
bash scripts/cross.sh musl-aarch64

echo "== macOS, x86-64 and ARM64: compiled and linked with -Werror, not run =="
for preset in macos-x86_64 macos-arm64; do
    started=$SECONDS
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    # a Mach-O executable (magic cf fa ed fe) for the architecture asked for (CPU type
    # 0x01000007 for x86-64, 0x0100000c for ARM64)
    header=$(od -An -tx1 -N8 "build/$preset/ferrox" | tr -d ' \n')
    case $preset in
        macos-x86_64) expected=cffaedfe07000001 ;;
        macos-arm64) expected=cffaedfe0c000001 ;;
    esac
    [ "$header" = "$expected" ] || { echo "build/$preset/ferrox: header $header, not $expected"; exit 1; }
    echo "$preset: a Mach-O executable, built in $((SECONDS - started)) s"
done

echo "== the static binaries again, from the source release: the same bytes =="
started=$SECONDS
tarball=$(bash scripts/source-tarball.sh)
tar -xzf "$tarball" -C "$work"
release=$work/$(basename "$tarball" .tar.gz)
(cd "$release" && bash scripts/static-binaries.sh >/dev/null 2>&1) ||
    { echo "the static binaries don't build from $tarball"; exit 1; }
for artifact in "${artifacts[@]}"; do
    cmp "$artifact" "$release/$artifact" || { echo "$artifact differs when built from the release"; exit 1; }
    cmp "$artifact.sha256" "$release/$artifact.sha256"
    cat "$artifact.sha256"
done
echo "rebuilt in $((SECONDS - started)) s"

failed=0
for shard in 0 1; do
    status=0
    wait "${e2e_pids[$shard]}" || status=$?
    echo "== end-to-end shard $shard against the static binary =="
    cat "$work/e2e-$shard.log"
    if [ "$status" -ne 0 ]; then
        echo "the end-to-end shard $shard FAILED against the static binary (status $status)"
        failed=1
    fi
done
e2e_pids=()
echo "end-to-end suite against the static binary: $((SECONDS - e2e_started)) s"
exit "$failed"
