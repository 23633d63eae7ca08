#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# ferrox against the minimal read/write mover of ceiling.cpp (1 MiB buffer) on one route: a
# file of random data on tmpfs, over TCP on loopback, into a file on tmpfs. Each pair runs
# the two in turn (which goes first alternates), and the report is the median of the
# pairs' ratios ferrox/mover, wall time and CPU time of both ends, with min and max: pairing
# keeps the ratio meaningful on a machine whose speed drifts while it runs. With ENDS=1 it
# also times each ferrox end against the mover's other end, which tells which end holds a
# gap.
#     bash bench/against_mover.sh FERROX CEILING [PAIRS] [MIB]
# Defaults: 31 pairs of 2048 MiB. Reading: 1.053 or less is at least 0.95x the mover's speed.
set -euo pipefail
ferrox=$(realpath "$1")
ceiling=$(realpath "$2")
pairs=${3:-31}
mib=${4:-2048}
data=/dev/shm/ferrox-against.$$.data
out=/dev/shm/ferrox-against.$$.out
trap 'rm -f "$data" "$out" "$out.recv" "$out.send"' EXIT
head -c $((mib << 20)) /dev/urandom >"$data"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# one RECEIVER SENDER: the receiving end ("ferrox" or "mover") writes a tmpfs file, the
# sending end reads the data file; prints the wall seconds from the receiver's start to the
# end of both, and the CPU seconds (user and system) of the two ends.
one() {
    local port start pid end
    port=$(free_port)
    start=$EPOCHREALTIME
    case $1 in
        ferrox) /usr/bin/time -f '%U %S' -o "$out.recv" "$ferrox" -q -l "$port" >"$out" & ;;
        mover) /usr/bin/time -f '%U %S' -o "$out.recv" "$ceiling" recv-rw "$port" >"$out" & ;;
    esac
    pid=$!
    for _ in $(seq 1 1000); do
        ss -ltnH "sport = :$port" | grep -q . && break
        sleep 0.005
    done
    case $2 in
        ferrox) /usr/bin/time -f '%U %S' -o "$out.send" "$ferrox" -q -h "127.0.0.1:$port" "$data" ;;
        mover) /usr/bin/time -f '%U %S' -o "$out.send" "$ceiling" send-rw "$port" "$data" ;;
    esac
    wait "$pid"
    end=$EPOCHREALTIME
    rm -f "$out"
    cat "$out.recv" "$out.send" | awk -v s="$start" -v e="$end" \
        '{ cpu += $1 + $2 } END { printf "%.4f %.4f\n", e - s, cpu }'
}

# row LABEL RECEIVER SENDER: PAIRS pairs of that transfer against the mover at both ends.
row() {
    local label=$1 ratios=()
    for ((i = 0; i < pairs; i++)); do
        local a b
        if ((i % 2 == 0)); then
            a=$(one "$2" "$3")
            b=$(one mover mover)
        else
            b=$(one mover mover)
            a=$(one "$2" "$3")
        fi
        ratios+=("$a $b")
    done
    printf '%s\n' "${ratios[@]}" | python3 -c '
import statistics, sys
rows = [list(map(float, line.split())) for line in sys.stdin]
wall = [r[0] / r[2] for r in rows]
cpu = [r[1] / r[3] for r in rows]
def show(xs): return "%.3f (%.3f to %.3f)" % (statistics.median(xs), min(xs), max(xs))
print("| %s | %s | %s | %.2f s, %.2f s |" % (sys.argv[1], show(wall), show(cpu),
      statistics.median(r[0] for r in rows), statistics.median(r[2] for r in rows)))
' "$label"
}

echo "| ends (receiver, sender) | wall ferrox/mover, median (min to max) | CPU | median wall, A and mover |"
echo "|---|---|---|---|"
row "ferrox, ferrox" ferrox ferrox
if [ "${ENDS:-0}" = 1 ]; then
    row "ferrox, mover" ferrox mover
    row "mover, ferrox" mover ferrox
fi
echo "($pairs pairs of $mib MiB)"
