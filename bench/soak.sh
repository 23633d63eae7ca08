#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Soak: 6 GiB through a relay with --sum on both ends, checked against an independent
# Adler-32 (Python's zlib) and a byte count beyond 32 bits; then the fault-injection suite
# once with ferrox under valgrind's memcheck. Not part of CI: it takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
command -v valgrind >/dev/null || apt-get install -y -q valgrind >/dev/null
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
cmake --preset debug >/dev/null && cmake --build --preset debug >/dev/null
ferrox=build/release/ferrox

work=$(mktemp -d)
pids=()
# run by the trap below, which shellcheck doesn't follow
# shellcheck disable=SC2317
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

block_mib=64 repeats=96  # 6 GiB
head -c $((block_mib << 20)) /dev/urandom >"$work/block"
expected_bytes=$(((block_mib << 20) * repeats))
expected_sum=$(python3 - "$work/block" "$repeats" <<'PY'
import sys, zlib
block = open(sys.argv[1], "rb").read()
value = 1
for _ in range(int(sys.argv[2])):
    value = zlib.adler32(block, value)
print(value)
PY
)
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_for() { for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done; return 1; }

destination=$(free_port) relay=$(free_port)
"$ferrox" --listen "$destination" --sum >/dev/null 2>"$work/receiver.log" & pids+=($!)
receiver=$!
wait_for "$work/receiver.log" "listening on"
"$ferrox" --listen "$relay" --host "127.0.0.1:$destination" 2>"$work/relay.log" & pids+=($!)
relay_pid=$!
wait_for "$work/relay.log" "listening on"
start=$(date +%s.%N)
for _ in $(seq "$repeats"); do cat "$work/block"; done |
    "$ferrox" --host "127.0.0.1:$relay" --sum 2>"$work/sender.log"
wait "$relay_pid" "$receiver"
end=$(date +%s.%N)

cat "$work/sender.log" "$work/relay.log" "$work/receiver.log"
status=0
check() { if grep -q -- "$2" "$1"; then echo "ok: $3"; else echo "FAILED: $3"; status=1; fi; }
check "$work/sender.log" "^$expected_bytes bytes written to 127.0.0.1:$relay" "sender counted $expected_bytes bytes"
check "$work/relay.log" "^$expected_bytes bytes transfered" "relay counted $expected_bytes bytes"
check "$work/receiver.log" "^$expected_bytes bytes written to stdout" "receiver counted $expected_bytes bytes"
check "$work/sender.log" "^checksum: $expected_sum\$" "sender checksum $expected_sum"
check "$work/receiver.log" "^checksum: $expected_sum\$" "receiver checksum $expected_sum"
python3 -c "import sys; print('throughput: %.2f GB/s end to end' % ($expected_bytes / (float(sys.argv[2]) - float(sys.argv[1])) / 1e9))" "$start" "$end"

echo "== fault-injection suite under valgrind memcheck =="
if FERROX_TEST_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite" \
    build/debug/tests/e2e_tests --gtest_filter='fault_*' --gtest_brief=1; then
    echo "ok: fault suite clean under valgrind"
else
    echo "FAILED: fault suite under valgrind"
    status=1
fi
exit $status
