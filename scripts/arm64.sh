#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds ferrox for ARM64 and runs it under qemu-user: the unit tests, transfers over
# TCP and a UNIX-domain socket between the ARM64 build and this machine's own (the bytes
# and the --sum lines must agree), and a few of the end-to-end tests against the ARM64
# binary. Needs the debug build of the test command for the x86 side.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/cannot_run.sh
if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
    cannot_run "g++-aarch64-linux-gnu or qemu-user not found: the ARM64 build was skipped"
    exit 0
fi
echo "== aarch64 =="
cmake --preset aarch64 >/dev/null
cmake --build --preset aarch64
ctest --preset aarch64 -j2

arm=(qemu-aarch64 -L /usr/aarch64-linux-gnu build/aarch64/ferrox)
native=build/debug/ferrox
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((8 << 20)) /dev/urandom >"$work/data"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for_line() { for _ in $(seq 1000); do grep -q "$1" "$2" 2>/dev/null && return 0; sleep 0.01; done; return 1; }
checksum_of() { grep '^checksum: ' "$1"; }

# transfer NAME LISTENER... -- SENDER...: the listener receives the data file, started with
# --sum and its address; both must report the same checksum and the bytes must arrive whole.
transfer() {
    local name=$1 listener=() sender=()
    shift
    while [ "$1" != "--" ]; do listener+=("$1"); shift; done
    shift
    sender=("$@")
    timeout 60 "${listener[@]}" >"$work/$name.out" 2>"$work/$name.err" &
    local pid=$!
    wait_for_line "listening on" "$work/$name.err"
    timeout 60 "${sender[@]}" "$work/data" 2>"$work/$name.client"
    wait "$pid"
    cmp "$work/data" "$work/$name.out"
    [ "$(checksum_of "$work/$name.err")" = "$(checksum_of "$work/$name.client")" ]
}
port=$(free_port)
# TCP: the ARM64 build listens, this machine's sends; UNIX-domain: the other way round
transfer tcp "${arm[@]}" -s -l "$port" -- "$native" -s -h "127.0.0.1:$port"
transfer unix "$native" -s -U "$work/sock" -- "${arm[@]}" -s -u "$work/sock"
echo "ARM64 transfers agree: $(checksum_of "$work/tcp.err")"

# A few end-to-end tests, with the ARM64 binary in place of this machine's.
FERROX_TEST_WRAPPER="bash $PWD/scripts/lib/run_arm64.sh" timeout 300 build/debug/tests/e2e_tests \
    --gtest_brief=1 --gtest_filter='paths/tcp_files.*:paths/unix_send_receive.*:relay.*:relay_timeout.*:*stream_kinds*/send_from_nonblocking_pipe_sum:*stream_kinds*/receive_to_nonblocking_pipe_read_slowly'

