#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Times two ferrox builds against each other on every route, in pairs (A and B in turn, which
# goes first alternating; the median of the wall-time ratios A/B), so that a change to the data path shows
# whether any route got slower. Both ends of each transfer are the build under test, at its
# defaults; a real consumer sits behind the receiver where the route has one (a file on tmpfs
# or disk, a pipe read by cat).
#     bash bench/versus.sh NEW_FERROX OLD_FERROX [PAIRS]
# ROUTES="tcp-disk relay" in the environment runs only those. A disk route ends with an
# fsync of what it wrote, so that no run pays for the write-back of the one before.
# The transfers: `bash bench/versus.sh --one FERROX ROUTE DATA PORT DIR`.
set -euo pipefail
all_routes="tcp-null tcp-pipe tcp-tmpfs tcp-disk unix-null unix-pipe unix-tmpfs unix-disk relay"
all_routes+=" tcp-sum-pipe tcp-sum-tmpfs unix-sum-pipe"
read -r -a routes <<<"${ROUTES:-$all_routes}"

one_transfer() {
    local ferrox=$1 route=$2 data=$3 port=$4 dir=$5 sum=() sink=/dev/null receiver sender
    case $route in *-sum-*) sum=(-s) ;; esac
    case $route in
        *-tmpfs) sink=/dev/shm/ferrox-versus.out ;;
        *-disk) sink=$dir/out ;;
    esac
    rm -f "$dir/sock"
    case $route in
        tcp-*) receiver=(-l "$port") sender=(-h "127.0.0.1:$port") ;;
        unix-*) receiver=(-U "$dir/sock") sender=(-u "$dir/sock") ;;
        relay)
            "$ferrox" -q -l "$((port + 1))" >/dev/null &
            local server=$!
            sleep 0.2
            "$ferrox" -q -l "$port" -h "127.0.0.1:$((port + 1))" &
            local relay=$!
            sleep 0.2
            "$ferrox" -q -h "127.0.0.1:$port" "$data"
            wait "$relay" "$server"
            return
            ;;
    esac
    case $route in
        *-pipe) "$ferrox" -q "${sum[@]}" "${receiver[@]}" 2>/dev/null | cat >/dev/null & ;;
        *) "$ferrox" -q "${sum[@]}" "${receiver[@]}" >"$sink" 2>/dev/null & ;;
    esac
    local pid=$!
    sleep 0.2
    "$ferrox" -q "${sum[@]}" "${sender[@]}" "$data" 2>/dev/null
    wait "$pid"
    case $route in *-disk) sync "$sink" && rm -f "$sink" ;; esac
}

if [ "${1:-}" = --one ]; then
    one_transfer "$2" "$3" "$4" "$5" "$6"
    exit
fi
new=$(realpath "$1")
old=$(realpath "$2")
pairs=${3:-10}
dir=$(mktemp -d "$PWD/versus.XXXXXX")
trap 'rm -rf "$dir" /dev/shm/ferrox-versus.*' EXIT
head -c $((1 << 30)) /dev/urandom >/dev/shm/ferrox-versus.data
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# seconds FERROX ROUTE PORT: the wall time of one transfer.
seconds() {
    local start=$EPOCHREALTIME
    one_transfer "$1" "$2" /dev/shm/ferrox-versus.data "$3" "$dir"
    awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", e - s }'
}

echo "| route | median A/B (min to max), A = $new, B = $old, $pairs pairs |"
echo "|---|---|"
for route in "${routes[@]}"; do
    port=$(free_port)
    ratios=()
    for ((i = 0; i < pairs; i++)); do
        if ((i % 2 == 0)); then
            a=$(seconds "$new" "$route" "$port")
            b=$(seconds "$old" "$route" "$port")
        else
            b=$(seconds "$old" "$route" "$port")
            a=$(seconds "$new" "$route" "$port")
        fi
        ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.4f", a / b }')")
    done
    ratio=$(printf '%s\n' "${ratios[@]}" | python3 -c '
import statistics, sys
xs = [float(line) for line in sys.stdin]
print("%.4f (%.4f to %.4f)" % (statistics.median(xs), min(xs), max(xs)))')
    echo "| $route | $ratio |"
done
