#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Counts the system calls that ferrox makes per chunk on each of its routes, beside the
# minimal movers of ceiling.cpp on the same route (read/write with 1 MiB, sendfile, a splice
# through a pipe, a poll relay), with strace -c over a 256 MiB transfer on loopback. Only the
# side that takes the route is traced (the sender of a file, the receiver, the relay); the
# calls that move or wait for data are divided by the chunks it moved (the size of its moves
# on that route); the few such calls of start-up (the loader's reads) count too, a few
# hundredths per chunk. Needs the release build with FERROX_BENCH=ON:
#     cmake --preset release -DFERROX_BENCH=ON && cmake --build --preset release
# Writes bench/results/calls.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
ferrox=${FERROX:-$PWD/build/release/ferrox}
ceiling=$PWD/build/release/ceiling
for tool in strace "$ferrox" "$ceiling"; do
    command -v "$tool" >/dev/null || { echo "calls.sh: $tool not found" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mib=256
head -c $((mib << 20)) /dev/urandom >"$work/data"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# The calls that move or wait for data, and those a route might add per chunk (a signal mask
# set around a wait counts with it); the rest are start-up and close.
data_calls='^(read|write|readv|writev|sendto|recvfrom|sendmsg|recvmsg|sendfile|splice|tee|poll|ppoll|select|pselect6|lseek|ioctl|fcntl|getsockopt|rt_sigprocmask)$'
count_data_calls() { awk -v calls="$data_calls" '$NF ~ calls {sum += $4} END {print sum + 0}' "$1"; }

# calls TRACED_SIDE RECEIVER SENDER: runs both as shell commands, with strace -c on the one
# named (receiver or sender), and prints the number of data calls it made.
calls() {
    local traced=$1 receiver=$2 sender=$3 trace="$work/trace"
    rm -f "$trace" "$work/sock"
    if [ "$traced" = receiver ]; then receiver="strace -f -c -o $trace $receiver"; fi
    if [ "$traced" = sender ]; then sender="strace -f -c -o $trace $sender"; fi
    bash -c "$receiver" 2>/dev/null &
    local pid=$!
    sleep 0.5
    timeout 120 bash -c "$sender" 2>/dev/null
    wait "$pid"
    count_data_calls "$trace"
}

# The relay: the receiver and sender are ceiling's, the traced middle is the relay given.
relay_calls() {
    local middle=$1 front=$2 back=$3 trace="$work/trace"
    rm -f "$trace"
    "$ceiling" recv-rw "$back" >/dev/null &
    local receiver=$!
    sleep 0.3
    strace -f -c -o "$trace" bash -c "$middle" &
    local relay=$!
    sleep 0.5
    timeout 120 "$ceiling" send-rw "$front" "$work/data"
    wait "$relay" "$receiver" || true
    count_data_calls "$trace"
}

# Calls per chunk of a whole move; a receiver's reads often return less than a move, so
# there it is an upper bound, and the calls per MiB say the rest.
per_chunk() { awk -v calls="$1" -v kib="$2" -v mib="$mib" 'BEGIN { printf "%.2f", calls / (mib * 1024 / kib) }'; }
per_mib() { awk -v calls="$1" -v mib="$mib" 'BEGIN { printf "%.1f", calls / mib }'; }

row() {
    local name=$1 ferrox_calls=$2 ferrox_kib=$3 mover=$4 mover_calls=$5 mover_kib=$6
    printf '| %s | %s (%s KiB), %s/MiB | %s | %s (%s KiB), %s/MiB |\n' "$name" \
        "$(per_chunk "$ferrox_calls" "$ferrox_kib")" "$ferrox_kib" "$(per_mib "$ferrox_calls")" \
        "$mover" "$(per_chunk "$mover_calls" "$mover_kib")" "$mover_kib" "$(per_mib "$mover_calls")"
}

out=bench/results/calls.txt
{
    echo "| route (traced side) | ferrox: calls per chunk (its move), per MiB | minimal mover | its calls per chunk (its move), per MiB |"
    echo "|---|---|---|---|"
    p=$(free_port)
    row "file into TCP (sender)" \
        "$(calls sender "$ceiling recv-rw $p >/dev/null" "$ferrox -q -h 127.0.0.1:$p $work/data")" 512 \
        "read/write" "$(calls sender "$ceiling recv-rw $p >/dev/null" "$ceiling send-rw $p $work/data")" 1024
    row "file into TCP, --sum (sender)" \
        "$(calls sender "$ceiling recv-rw $p >/dev/null" "$ferrox -q -s -h 127.0.0.1:$p $work/data")" 512 \
        "read/write" "$(calls sender "$ceiling recv-rw $p >/dev/null" "$ceiling send-rw $p $work/data")" 1024
    row "file into UNIX-domain (sender)" \
        "$(calls sender "$ceiling recv-rw $work/sock >/dev/null" "$ferrox -q -u $work/sock $work/data")" 64 \
        "sendfile" "$(calls sender "$ceiling recv-rw $work/sock >/dev/null" "$ceiling send-splice $work/sock $work/data")" 1024
    row "TCP into a file (receiver)" \
        "$(calls receiver "$ferrox -q -l $p >$work/out" "$ceiling send-rw $p $work/data")" 1024 \
        "read/write" "$(calls receiver "$ceiling recv-rw $p >$work/out" "$ceiling send-rw $p $work/data")" 1024
    row "TCP into a file, --sum -b 65536 (receiver)" \
        "$(calls receiver "$ferrox -q -s -b 65536 -l $p >$work/out" "$ceiling send-rw $p $work/data")" 64 \
        "read/write" "$(calls receiver "$ceiling recv-rw $p >$work/out" "$ceiling send-rw $p $work/data")" 1024
    row "TCP into a pipe (receiver)" \
        "$(calls receiver "$ferrox -q -l $p | cat >/dev/null" "$ceiling send-rw $p $work/data")" 64 \
        "splice" "$(calls receiver "$ceiling recv-splice $p | cat >/dev/null" "$ceiling send-rw $p $work/data")" 1024
    row "TCP into a pipe, --sum (receiver)" \
        "$(calls receiver "$ferrox -q -s -l $p | cat >/dev/null" "$ceiling send-rw $p $work/data")" 64 \
        "read/write" "$(calls receiver "$ceiling recv-rw $p | cat >/dev/null" "$ceiling send-rw $p $work/data")" 1024
    row "TCP into /dev/null (receiver)" \
        "$(calls receiver "$ferrox -q -l $p >/dev/null" "$ceiling send-rw $p $work/data")" 64 \
        "splice" "$(calls receiver "$ceiling recv-splice $p >/dev/null" "$ceiling send-rw $p $work/data")" 1024
    row "UNIX-domain into a file (receiver)" \
        "$(calls receiver "$ferrox -q -U $work/sock >$work/out" "$ceiling send-rw $work/sock $work/data")" 256 \
        "splice" "$(calls receiver "$ceiling recv-splice $work/sock >$work/out" "$ceiling send-rw $work/sock $work/data")" 1024
    front=$(free_port)
    back=$(free_port)
    row "TCP relay (relay)" "$(relay_calls "$ferrox -q -l $front -h 127.0.0.1:$back" "$front" "$back")" 256 \
        "poll relay" "$(relay_calls "$ceiling relay $front $back" "$front" "$back")" 256
    row "TCP relay, -b 65536 (relay)" "$(relay_calls "$ferrox -q -b 65536 -l $front -h 127.0.0.1:$back" "$front" "$back")" 64 \
        "poll relay" "$(relay_calls "$ceiling relay $front $back" "$front" "$back")" 256
} | tee "$out"
