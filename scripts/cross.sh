#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds ferrox with Debian's cross compilers and runs each build under qemu-user:
# ARM64, 32-bit ARM (armhf: 32-bit long, size_t and pointers) and s390x (big-endian). For
# each: the unit tests; transfers over TCP and a UNIX-domain socket between it and this
# machine's build, on every data path, whose bytes and --sum lines must agree (a byte-order
# fault in the checksum shows there); and the end-to-end table of byte-for-byte transfers on
# every data path, with the emulated binary in place of this machine's. A 32-bit build also
# moves a sparse 5 GiB file through a relay: every summary must count 5368709120 bytes and
# the checksums must be zlib's. The builds go one after another, since each takes both
# cores; the emulated suites then run side by side, each into a log of its own.
# Needs the debug build of the test command for this machine's side. scripts/zig-builds.sh
# runs the same for the static musl ARM64 binary (preset musl-aarch64).
#
#     bash scripts/cross.sh [PRESET...]    (aarch64, armhf, s390x; all of them by default)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/cannot_run.sh
source scripts/lib/cross_targets.sh
native=build/debug/ferrox
if [ ! -x "$native" ] || [ ! -x build/debug/tests/e2e_tests ]; then
    echo "cross.sh needs the debug build: cmake --preset debug && cmake --build --preset debug" >&2
    exit 1
fi
[ $# -gt 0 ] && cross_presets=("$@")

presets=()
for preset in "${cross_presets[@]}"; do
    cross_target "$preset"
    if command -v "$cross_compiler" >/dev/null && command -v "$cross_qemu" >/dev/null; then
        presets+=("$preset")
    else
        cannot_run "$cross_compiler or $cross_qemu not found: the $cross_what build was skipped"
    fi
done
[ ${#presets[@]} -eq 0 ] && exit 0

for preset in "${presets[@]}"; do
    cross_target "$preset"
    echo "== $preset: the $cross_what build =="
    started=$SECONDS
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
    echo "built in $((SECONDS - started)) s"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((8 << 20)) /dev/urandom >"$work/data"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for_line() { for _ in $(seq 3000); do grep -q "$1" "$2" 2>/dev/null && return 0; sleep 0.01; done; return 1; }
checksum_of() { grep '^checksum: ' "$1"; }
# summary_bytes FILE: the byte count of the summary line in FILE
summary_bytes() { sed -n 's/^\([0-9]*\) bytes \(written\|transfered\).*/\1/p' "$1"; }

# transfer DIR NAME LISTENER... -- SENDER...: the listener receives the data file, which the
# sender sends; the bytes must arrive whole and, with --sum, both must print the same checksum.
transfer() {
    local dir=$1 name=$2 listener=() sender=()
    shift 2
    while [ "$1" != "--" ]; do listener+=("$1"); shift; done
    shift
    sender=("$@")
    timeout 60 "${listener[@]}" >"$dir/$name.out" 2>"$dir/$name.err" &
    local pid=$!
    wait_for_line "listening on" "$dir/$name.err"
    timeout 60 "${sender[@]}" "$work/data" 2>"$dir/$name.client" >/dev/null
    wait "$pid"
    cmp "$work/data" "$dir/$name.out"
    [ "$(summary_bytes "$dir/$name.err")" = $((8 << 20)) ]
    [ "$(checksum_of "$dir/$name.err")" = "$(checksum_of "$dir/$name.client")" ]
    rm -f "$dir/$name.out"
}

# The end-to-end tests run with an emulated ferrox: every test of the transfer table (those
# that take each data path as their parameter) and a few of relays and non-blocking pipes.
# The relay's latency test is left out: it times round trips in milliseconds, which an
# emulator sharing two cores with the other suites can't promise.
e2e_filter='paths/*:relay.*:relay_timeout.*:*stream_kinds*/send_from_nonblocking_pipe_sum'
e2e_filter+=':*stream_kinds*/receive_to_nonblocking_pipe_read_slowly-paths/relay_latency.*'

# The data paths of the end-to-end tests: at the defaults, inside the kernel (a buffer size
# given), and both with --sum.
path_options=("" "-b 65536" "-s" "-s -b 65536")

# big_relay DIR EMULATED...: a sparse 5 GiB file, with random blocks at its start, across
# 2 GiB and 4 GiB and at its end, goes from the emulated build (sendfile by the file's
# offsets, with --sum) through an emulated relay (splice) to this machine's build (--sum).
# Every summary must count the whole file, and every checksum be zlib's.
big_relay() {
    local dir=$1 emulated=("${@:2}") size=$((5 << 30)) at
    local file=$dir/sparse
    truncate -s "$size" "$file"
    for at in 0 $(((2 << 30) - 32768)) $(((4 << 30) - 32768)) $((size - 65536)); do
        head -c 65536 /dev/urandom | dd of="$file" bs=65536 seek="$at" oflag=seek_bytes conv=notrunc status=none
    done
    # zlib's value, by this machine, while the transfer runs
    python3 -c '
import sys, zlib
value = 1
with open(sys.argv[1], "rb") as f:
    for block in iter(lambda: f.read(1 << 24), b""):
        value = zlib.adler32(block, value)
print("checksum: %d" % value)' "$file" >"$dir/zlib" &
    local zlib=$! receiver_port relay_port
    receiver_port=$(free_port)
    timeout 300 "$native" -s -l "$receiver_port" >/dev/null 2>"$dir/receiver.err" &
    local receiver=$!
    wait_for_line "listening on" "$dir/receiver.err"
    relay_port=$(free_port)
    timeout 300 "${emulated[@]}" -b 65536 -l "$relay_port" -h "127.0.0.1:$receiver_port" \
        2>"$dir/relay.err" &
    local relay=$!
    wait_for_line "listening on" "$dir/relay.err"
    local started=$SECONDS
    # (its standard error holds a dot for each of its 81920 chunks)
    timeout 300 "${emulated[@]}" -s -b 65536 -h "127.0.0.1:$relay_port" "$file" 2>"$dir/sender.err"
    wait "$relay"
    wait "$receiver"
    wait "$zlib"
    echo "5 GiB through the relay in $((SECONDS - started)) s; zlib's $(cat "$dir/zlib"), the sender's $(checksum_of "$dir/sender.err"), the receiver's $(checksum_of "$dir/receiver.err")"
    local side
    for side in sender relay receiver; do
        grep "bytes" "$dir/$side.err"
        [ "$(summary_bytes "$dir/$side.err")" = "$size" ]
    done
    [ "$(checksum_of "$dir/sender.err")" = "$(cat "$dir/zlib")" ]
    [ "$(checksum_of "$dir/receiver.err")" = "$(cat "$dir/zlib")" ]
    rm -f "$file"
}

# suite PRESET: everything run under the emulator for one build.
suite() {
    local preset=$1 dir=$work/$1 started=$SECONDS port options
    cross_target "$preset"
    mkdir -p "$dir"
    ctest --preset "$preset" -j2
    echo "unit tests in $((SECONDS - started)) s"

    started=$SECONDS
    local emulated=("${cross_runs[@]}" "build/$preset/ferrox")
    for options in "${path_options[@]}"; do
        read -ra words <<<"$options"
        port=$(free_port)
        # TCP: the emulated build receives; UNIX-domain: it sends
        transfer "$dir" tcp "${emulated[@]}" "${words[@]}" -l "$port" -- "$native" "${words[@]}" -h "127.0.0.1:$port"
        transfer "$dir" unix "$native" "${words[@]}" -U "$dir/sock" -- "${emulated[@]}" "${words[@]}" -u "$dir/sock"
    done
    echo "transfers with this machine's build agree on every path: $(checksum_of "$dir/tcp.err") ($((SECONDS - started)) s)"

    started=$SECONDS
    env "${cross_e2e_env[@]}" FERROX_TEST_WRAPPER="bash $PWD/scripts/lib/run_cross.sh $preset" \
        timeout 600 build/debug/tests/e2e_tests --gtest_brief=1 --gtest_filter="$e2e_filter"
    echo "end-to-end tests in $((SECONDS - started)) s"

    if [ "$cross_bits" = 32 ]; then
        big_relay "$dir" "${emulated[@]}"
    fi
}

pids=()
for preset in "${presets[@]}"; do
    (set -euo pipefail; suite "$preset") >"$work/$preset.log" 2>&1 &
    pids+=($!)
done
failed=0
for i in "${!presets[@]}"; do
    cross_target "${presets[$i]}"
    status=0
    wait "${pids[$i]}" || status=$?
    echo "== ${presets[$i]}: the $cross_what build under $cross_qemu =="
    cat "$work/${presets[$i]}.log"
    if [ "$status" -ne 0 ]; then
        echo "the ${presets[$i]} suite FAILED (status $status)"
        failed=1
    fi
done
exit "$failed"
