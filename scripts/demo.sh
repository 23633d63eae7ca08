#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds a release ferrox and moves a generated file over TCP loopback: a listener
# receives it, a client sends it, and both print their connection and summary lines.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
ferrox=build/release/ferrox

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 20000000 /dev/urandom >"$work/sent"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

"$ferrox" --listen "$port" --sum >"$work/received" 2>"$work/listener.log" &
listener=$!
for _ in $(seq 100); do grep -q 'listening on' "$work/listener.log" && break; sleep 0.05; done
"$ferrox" --host "127.0.0.1:$port" --sum "$work/sent"
wait "$listener"
cat "$work/listener.log"
cmp "$work/sent" "$work/received" && echo "the received file is identical to the sent one"
