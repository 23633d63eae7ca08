#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds a release ferrox with the checksum benchmark, installs the peers it is measured
# against (socat, netcat-openbsd, ncat) from Debian's packages, and runs both benchmarks.
# Results go to bench/results/. Arguments are passed to throughput.py (--size-mib, --runs).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if ! command -v ncat >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y -q ncat >/dev/null; else sudo apt-get install -y -q ncat >/dev/null; fi
fi
dpkg-query -W libbenchmark-dev >/dev/null 2>&1 ||
    { if [ "$(id -u)" -eq 0 ]; then apt-get install -y -q libbenchmark-dev >/dev/null; else sudo apt-get install -y -q libbenchmark-dev >/dev/null; fi; }
cmake --preset release -DFERROX_BENCH=ON >/dev/null
cmake --build --preset release
python3 bench/throughput.py --out bench/results/throughput.txt "$@"
build/release/checksum_bench --benchmark_min_time=0.5 | tee bench/results/checksum.txt
