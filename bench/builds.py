#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""What the way ferrox is built costs: the C++ runtime linked in or shared, and the hardening
flags of the release preset or none, side by side on this machine.

For each build: start-up (the wall time of `ferrox --version`, spawned and waited for, median
of many interleaved runs), the resident memory of a listener waiting for its peer (VmRSS),
and for each transfer scenario of throughput.py the median GB/s, CPU seconds per GB and
ferrox's peak resident memory (VmHWM). Every repetition runs every build in turn.

  bench/builds.py NAME=PATH... [--size-mib 1024] [--runs 7] [--starts 400] [--out FILE]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import throughput  # noqa: E402  (beside this file)


def start_seconds(binary):
    """Wall time from spawn to reaped exit of `ferrox --version`, its output to /dev/null."""
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        begin = time.perf_counter()
        pid = os.posix_spawn(binary, [binary, "--version"], os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null, 1)])
        os.waitpid(pid, 0)
        return time.perf_counter() - begin
    finally:
        os.close(null)


def waiting_listener_kib(binary):
    """VmRSS of a listener that has started and waits for a peer."""
    port = throughput.free_port()
    listener = subprocess.Popen([binary, "-q", "-l", str(port)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        throughput.wait_ready(lambda: throughput.listening(port))
        with open("/proc/%d/status" % listener.pid) as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    finally:
        listener.kill()
        listener.wait()


def scenarios(binary):
    f = binary
    return {
        "TCP one-way": throughput.one_way_tcp(
            lambda p: [f, "-q", "-l", str(p)], lambda p, d: [f, "-q", "-h", "127.0.0.1:%d" % p, d]),
        "TCP one-way --sum": throughput.one_way_tcp(
            lambda p: [f, "-q", "-s", "-l", str(p)], lambda p, d: [f, "-q", "-s", "-h", "127.0.0.1:%d" % p, d]),
        "UNIX-domain one-way": throughput.one_way_unix(
            lambda p: [f, "-q", "-U", p], lambda p, d: [f, "-q", "-u", p, d]),
        "TCP relay": throughput.relayed(
            lambda p, e: [f, "-q", "-l", str(p), "-h", "127.0.0.1:%d" % e]),
        "TCP one-way into a pipe": throughput.into("pipe", throughput.one_way_tcp(
            lambda p: [f, "-q", "-l", str(p)], lambda p, d: [f, "-q", "-h", "127.0.0.1:%d" % p, d])),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+", help="NAME=PATH of a ferrox binary")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--starts", type=int, default=400)
    parser.add_argument("--out", default=os.path.join(throughput.HERE, "results", "builds.txt"))
    args = parser.parse_args()
    builds = dict(entry.split("=", 1) for entry in args.builds)
    width = max(len(name) for name in builds) + 2

    starts = {name: [] for name in builds}
    for _ in range(args.starts):
        for name, binary in builds.items():
            starts[name].append(start_seconds(binary))
    waiting = {name: waiting_listener_kib(binary) for name, binary in builds.items()}
    lines = ["machine: %s, %d CPUs, kernel %s" % (throughput.platform_name(), os.cpu_count(), os.uname().release),
             "start-up: ferrox --version, %d interleaved runs; transfers: %d MiB, %d interleaved runs, GB = 10^9 bytes"
             % (args.starts, args.size_mib, args.runs), "",
             "== start-up and a waiting listener ==",
             "%-*s %12s %12s %16s" % (width, "build", "median ms", "min ms", "listener KiB")]
    for name in builds:
        lines.append("%-*s %12.3f %12.3f %16d" % (width, name, statistics.median(starts[name]) * 1e3,
                                                   min(starts[name]) * 1e3, waiting[name]))
    lines.append("")

    work, data = throughput.random_data(args.size_mib)
    size = args.size_mib << 20
    try:
        per_build = {name: scenarios(binary) for name, binary in builds.items()}
        for scenario in per_build[next(iter(builds))]:
            results = {name: [] for name in builds}
            for _ in range(args.runs):
                for name in builds:
                    results[name].append(throughput.run_once(per_build[name][scenario], data, work))
            lines += ["== %s ==" % scenario,
                      "%-*s %8s %8s %8s %10s %10s" % (width, "build", "GB/s", "min", "max", "CPU s/GB", "RSS KiB")]
            for name, runs in results.items():
                rates = [size / seconds / 1e9 for seconds, _, _ in runs]
                lines.append("%-*s %8.2f %8.2f %8.2f %10.3f %10d" % (
                    width, name, statistics.median(rates), min(rates), max(rates),
                    statistics.median(cpu for _, cpu, _ in runs) / (size / 1e9), max(r for _, _, r in runs)))
            lines.append("")
    finally:
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)
    text = "\n".join(lines)
    print(text)
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as out:
        out.write(text)


if __name__ == "__main__":
    main()
