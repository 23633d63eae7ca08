#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds a release ferrox and moves a generated file over TCP loopback: a listener
# receives it, a client sends it, and both print their connection and summary lines.
# It installs only what the build needs (scripts/install-deps.sh --build-only: cmake, make
# and g++); scripts/test.sh installs what its tests need, and scripts/test.sh --all the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --build-only
cmake --preset release >/dev/null
cmake --build --preset release --parallel "$(nproc)"
ferrox=build/release/ferrox

work=$(mktemp -d)
listener=
cleanup() {
    [ -z "$listener" ] || kill "$listener" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
head -c 20000000 /dev/urandom >"$work/sent"

# Port 0: the kernel picks a free port, and the listening line names it.
"$ferrox" --listen 0 --sum >"$work/received" 2>"$work/listener.log" &
listener=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^listening on .* port \([0-9]*\)\.$/\1/p' "$work/listener.log")
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { cat "$work/listener.log"; echo "the listener didn't start"; exit 1; }
"$ferrox" --host "127.0.0.1:$port" --sum "$work/sent"
wait "$listener"
listener=
cat "$work/listener.log"
cmp "$work/sent" "$work/received" && echo "the received file is identical to the sent one"
