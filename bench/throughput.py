#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Side-by-side throughput of ferrox and the tools people use today, on this machine.

Three scenarios, each moving a file of random data from tmpfs to /dev/null: TCP one-way,
UNIX-domain one-way, and a TCP relay (client -> relay -> listener, with the same socat
ends for every relay). Repetitions are interleaved, so that every tool sees the same
machine state. Reports the median GB/s (10^9 bytes), min and max, CPU seconds per GB of
every process of the scenario, and ferrox's peak resident memory; then ratios to the best
peer and to the ceiling.

  bench/throughput.py [--size-mib 2048] [--runs 5] [--out bench/results/latest.txt]
"""
import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FERROX = os.path.join(HERE, "..", "build", "release", "ferrox")
# the minimal movers, built with ferrox by `cmake --preset release -DFERROX_BENCH=ON`
CEILING = [os.path.join(HERE, "..", "build", "release", "ceiling")]
# A disk-backed directory for the disk sink (the root file system here is ext4; /dev/shm is
# tmpfs). Disk sinks are noisy: compare them by paired ratios over many runs.
DISK_DIR = os.environ.get("FERROX_BENCH_DISK_DIR", "/var/tmp")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    wanted = ":%04X " % port
    with open("/proc/net/tcp") as table:
        return any(wanted in line.split()[1] + " " and line.split()[3] == "0A"
                   for line in table.readlines()[1:])


def wait_ready(check, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.002)
    raise RuntimeError("a listener did not start")


def one_way_tcp(receiver, sender):
    def build(data, work):
        port = free_port()
        return [(receiver(port), lambda: listening(port))], sender(port, data)
    return build


def one_way_unix(receiver, sender):
    def build(data, work):
        path = os.path.join(work, "socket")
        if os.path.exists(path):
            os.unlink(path)
        return [(receiver(path), lambda: os.path.exists(path))], sender(path, data)
    return build


def relayed(relay):
    def build(data, work):
        end, front = free_port(), free_port()
        receiver = ["socat", "-u", "-b", "262144", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % end, "STDOUT"]
        sender = ["socat", "-u", "-b", "262144", "FILE:" + data, "TCP:127.0.0.1:%d" % front]
        return [(receiver, lambda: listening(end)),
                (relay(front, end), lambda: listening(front))], sender
    return build


def into(sink, build):
    """The same scenario with the receiver writing to a real sink instead of /dev/null: a file
    on tmpfs, a file on disk, or a pipe that another process (cat) reads. /dev/null lets a UNIX-domain splice
    move pages without copying them, which no real consumer does."""
    def wrapped(data, work):
        listeners, sender = build(data, work)
        command, ready = listeners[0]
        if sink == "file":
            command = ["sh", "-c", 'exec "$0" "$@" > "%s"' % os.path.join(work, "sink")] + command
        elif sink == "disk":
            target = os.path.join(DISK_DIR, "ferrox-bench-sink-%d" % os.getpid())
            command = ["sh", "-c", 'exec "$0" "$@" > "%s"' % target] + command
        else:
            command = ["sh", "-c", '"$0" "$@" | cat > /dev/null'] + command
        return [(command, ready)] + listeners[1:], sender
    return wrapped


def with_sink(tools, sink):
    return {name: into(sink, build) for name, build in tools.items()}


def scenarios():
    f = FERROX
    tcp = {
        "ferrox": one_way_tcp(lambda p: [f, "-q", "-l", str(p)], lambda p, d: [f, "-q", "-h", "127.0.0.1:%d" % p, d]),
        "ferrox --sum": one_way_tcp(lambda p: [f, "-q", "-s", "-l", str(p)], lambda p, d: [f, "-q", "-s", "-h", "127.0.0.1:%d" % p, d]),
        "ferrox -b 65536": one_way_tcp(lambda p: [f, "-q", "-b", "65536", "-l", str(p)], lambda p, d: [f, "-q", "-b", "65536", "-h", "127.0.0.1:%d" % p, d]),
        "ferrox -b 262144": one_way_tcp(lambda p: [f, "-q", "-b", "262144", "-l", str(p)], lambda p, d: [f, "-q", "-b", "262144", "-h", "127.0.0.1:%d" % p, d]),
        "ferrox -b 1048576": one_way_tcp(lambda p: [f, "-q", "-b", "1048576", "-l", str(p)], lambda p, d: [f, "-q", "-b", "1048576", "-h", "127.0.0.1:%d" % p, d]),
        "socat": one_way_tcp(lambda p: ["socat", "-u", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % p, "STDOUT"], lambda p, d: ["socat", "-u", "FILE:" + d, "TCP:127.0.0.1:%d" % p]),
        "socat -b 262144": one_way_tcp(lambda p: ["socat", "-b", "262144", "-u", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % p, "STDOUT"], lambda p, d: ["socat", "-b", "262144", "-u", "FILE:" + d, "TCP:127.0.0.1:%d" % p]),
        "nc (openbsd)": one_way_tcp(lambda p: ["nc", "-l", "127.0.0.1", str(p)], lambda p, d: ["sh", "-c", 'exec nc -N 127.0.0.1 %d < "%s"' % (p, d)]),
        "ncat": one_way_tcp(lambda p: ["ncat", "--recv-only", "-l", "127.0.0.1", str(p)], lambda p, d: ["sh", "-c", 'exec ncat --send-only 127.0.0.1 %d < "%s"' % (p, d)]),
        "ceiling: read/write 1 MiB": one_way_tcp(lambda p: CEILING + ["recv-rw", str(p)], lambda p, d: CEILING + ["send-rw", str(p), d]),
        "ceiling: sendfile/splice 1 MiB": one_way_tcp(lambda p: CEILING + ["recv-splice", str(p)], lambda p, d: CEILING + ["send-splice", str(p), d]),
    }
    unix = {
        "ferrox": one_way_unix(lambda p: [f, "-q", "-U", p], lambda p, d: [f, "-q", "-u", p, d]),
        "ferrox --sum": one_way_unix(lambda p: [f, "-q", "-s", "-U", p], lambda p, d: [f, "-q", "-s", "-u", p, d]),
        "ferrox -b 65536": one_way_unix(lambda p: [f, "-q", "-b", "65536", "-U", p], lambda p, d: [f, "-q", "-b", "65536", "-u", p, d]),
        "ferrox -b 262144": one_way_unix(lambda p: [f, "-q", "-b", "262144", "-U", p], lambda p, d: [f, "-q", "-b", "262144", "-u", p, d]),
        "ferrox -b 1048576": one_way_unix(lambda p: [f, "-q", "-b", "1048576", "-U", p], lambda p, d: [f, "-q", "-b", "1048576", "-u", p, d]),
        "socat": one_way_unix(lambda p: ["socat", "-u", "UNIX-LISTEN:" + p, "STDOUT"], lambda p, d: ["socat", "-u", "FILE:" + d, "UNIX-CONNECT:" + p]),
        "socat -b 262144": one_way_unix(lambda p: ["socat", "-b", "262144", "-u", "UNIX-LISTEN:" + p, "STDOUT"], lambda p, d: ["socat", "-b", "262144", "-u", "FILE:" + d, "UNIX-CONNECT:" + p]),
        "nc (openbsd)": one_way_unix(lambda p: ["nc", "-lU", p], lambda p, d: ["sh", "-c", 'exec nc -NU "%s" < "%s"' % (p, d)]),
        "ncat": one_way_unix(lambda p: ["ncat", "--recv-only", "-lU", p], lambda p, d: ["sh", "-c", 'exec ncat --send-only -U "%s" < "%s"' % (p, d)]),
        "ceiling: read/write 1 MiB": one_way_unix(lambda p: CEILING + ["recv-rw", p], lambda p, d: CEILING + ["send-rw", p, d]),
        "ceiling: sendfile/splice 1 MiB": one_way_unix(lambda p: CEILING + ["recv-splice", p], lambda p, d: CEILING + ["send-splice", p, d]),
    }
    relay = {
        "ferrox": relayed(lambda p, e: [f, "-q", "-l", str(p), "-h", "127.0.0.1:%d" % e]),
        "ferrox --sum": relayed(lambda p, e: [f, "-q", "-s", "-l", str(p), "-h", "127.0.0.1:%d" % e]),
        "ferrox -b 262144": relayed(lambda p, e: [f, "-q", "-b", "262144", "-l", str(p), "-h", "127.0.0.1:%d" % e]),
        "socat": relayed(lambda p, e: ["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % p, "TCP:127.0.0.1:%d" % e]),
        "socat -b 262144": relayed(lambda p, e: ["socat", "-b", "262144", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % p, "TCP:127.0.0.1:%d" % e]),
        "ceiling: poll relay 256 KiB": relayed(lambda p, e: CEILING + ["relay", str(p), str(e)]),
    }
    return {"TCP one-way": tcp, "UNIX-domain one-way": unix, "TCP relay": relay,
            "TCP one-way into a tmpfs file": with_sink(tcp, "file"),
            "TCP one-way into a disk file": with_sink(tcp, "disk"),
            "TCP one-way into a pipe": with_sink(tcp, "pipe"),
            "UNIX-domain one-way into a tmpfs file": with_sink(unix, "file"),
            "UNIX-domain one-way into a disk file": with_sink(unix, "disk"),
            "UNIX-domain one-way into a pipe": with_sink(unix, "pipe")}


def random_data(size_mib):
    """A new directory on tmpfs and, in it, a file of `size_mib` MiB of random bytes."""
    work = tempfile.mkdtemp(dir="/dev/shm")
    data = os.path.join(work, "data")
    with open(data, "wb") as out:
        for _ in range(size_mib):
            out.write(os.urandom(1 << 20))
    return work, data


def peak_resident_kib(pid):
    """VmHWM of a running process: its own peak, unlike ru_maxrss, which after fork and exec
    still holds the forking Python's size."""
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_once(build, data, work):
    """Returns (seconds, cpu seconds of all processes, peak RSS KiB of ferrox processes)."""
    listeners, sender = build(data, work)
    null = open(os.devnull, "wb")
    started = []
    for command, ready in listeners:
        started.append((command, subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=null, stderr=subprocess.DEVNULL)))
        wait_ready(ready)
    begin = time.monotonic()
    started.append((sender, subprocess.Popen(sender, stdin=subprocess.DEVNULL, stdout=null, stderr=subprocess.DEVNULL)))
    # Each process is reaped by a thread of its own, so that the end is timed exactly; the
    # main thread only reads ferrox's peak memory (VmHWM only rises) every 20 ms, since a
    # tighter poll steals a processor from a three-process pipeline on a small machine.
    ended = {}

    def reap(pid):
        _, status, usage = os.wait4(pid, 0)
        ended[pid] = (time.monotonic(), status, usage)

    reapers = [threading.Thread(target=reap, args=(process.pid,)) for _, process in started]
    for reaper in reapers:
        reaper.start()
    rss = 0
    while any(reaper.is_alive() for reaper in reapers):
        for command, process in started:
            if os.path.basename(command[0]) == "ferrox" and process.pid not in ended:
                rss = max(rss, peak_resident_kib(process.pid))
        time.sleep(0.02)
    for reaper in reapers:
        reaper.join()
    cpu = 0.0
    for command, process in started:
        _, status, usage = ended[process.pid]
        if status != 0:
            raise RuntimeError("%s ended with status %d" % (" ".join(command), status))
        cpu += usage.ru_utime + usage.ru_stime
    elapsed = max(end for end, _, _ in ended.values()) - begin
    return elapsed, cpu, rss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=2048)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", help="run only the scenarios whose name holds this text")
    parser.add_argument("--out", default=os.path.join(HERE, "results", "latest.txt"))
    args = parser.parse_args()
    for program in (FERROX, CEILING[0]):
        if not os.access(program, os.X_OK):
            sys.exit("%s is missing: build with `cmake --preset release -DFERROX_BENCH=ON` (bench/run.sh does)" % program)

    work, data = random_data(args.size_mib)
    size = args.size_mib << 20
    lines = ["machine: %s, %d CPUs, kernel %s" % (platform_name(), os.cpu_count(), os.uname().release),
             "data: %d MiB of random bytes from tmpfs to /dev/null (or the sink named), %d interleaved runs, GB = 10^9 bytes" % (args.size_mib, args.runs), ""]
    try:
        for scenario, tools in scenarios().items():
            if args.only and args.only not in scenario:
                continue
            results = {name: [] for name in tools}
            for _ in range(args.runs):
                for name, build in tools.items():
                    results[name].append(run_once(build, data, work))
            lines += report(scenario, results, size)
    finally:
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)
        disk_sink = os.path.join(DISK_DIR, "ferrox-bench-sink-%d" % os.getpid())
        if os.path.exists(disk_sink):
            os.unlink(disk_sink)
    text = "\n".join(lines) + "\n"
    print(text)
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as out:
        out.write(text)


def platform_name():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"


def report(scenario, results, size):
    lines = ["== %s ==" % scenario,
             "%-32s %8s %8s %8s %10s %10s" % ("tool", "GB/s", "min", "max", "CPU s/GB", "RSS KiB")]
    medians = {}
    for name, runs in results.items():
        rates = [size / seconds / 1e9 for seconds, _, _ in runs]
        cpu_per_gb = statistics.median(cpu for _, cpu, _ in runs) / (size / 1e9)
        rss = max(r for _, _, r in runs)
        medians[name] = statistics.median(rates)
        lines.append("%-32s %8.2f %8.2f %8.2f %10.3f %10s" % (name, medians[name], min(rates), max(rates), cpu_per_gb, rss or "-"))
    peers = {n: m for n, m in medians.items() if not n.startswith(("ferrox", "ceiling"))}
    default_peers = {n: m for n, m in peers.items() if "-b" not in n}
    ceiling = max(m for n, m in medians.items() if n.startswith("ceiling"))
    # the defaults against the best that a minimal mover or a chosen --buffer-size reaches
    tuned = {n: m for n, m in medians.items() if n.startswith(("ceiling", "ferrox -b"))}
    best_tuned = max(tuned, key=tuned.get)
    best = max(default_peers, key=default_peers.get)
    lines.append("ferrox / best peer at defaults (%s): %.2fx" % (best, medians["ferrox"] / default_peers[best]))
    lines.append("ferrox / best ceiling: %.2fx" % (medians["ferrox"] / ceiling))
    lines.append("ferrox / best of ceilings and ferrox -b (%s): %.2fx" % (best_tuned, medians["ferrox"] / tuned[best_tuned]))
    if "socat -b 262144" in medians:
        lines.append("ferrox / socat -b 262144: %.2fx; ferrox -b 262144 / socat -b 262144: %.2fx" % (
            medians["ferrox"] / medians["socat -b 262144"], medians["ferrox -b 262144"] / medians["socat -b 262144"]))
    lines.append("ferrox --sum / ferrox: %.2fx" % (medians["ferrox --sum"] / medians["ferrox"]))
    if "socat -b 262144" in medians:
        lines.append("ferrox --sum / socat -b 262144: %.2fx" % (medians["ferrox --sum"] / medians["socat -b 262144"]))
    lines.append("")
    return lines


if __name__ == "__main__":
    main()
