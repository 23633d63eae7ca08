#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Minimal movers that set the ceilings of the throughput benchmark: each does one thing
with blocking calls and nothing else. WHERE is a TCP port on 127.0.0.1, or a UNIX-domain
socket's path (anything with a slash).

  ceiling.py recv-rw WHERE              read/write with a 1 MiB buffer, socket -> standard output
  ceiling.py recv-splice WHERE          splice socket -> a 1 MiB pipe -> standard output
  ceiling.py send-rw WHERE FILE         read/write with a 1 MiB buffer, file -> socket
  ceiling.py send-splice WHERE FILE     splice file -> a 1 MiB pipe -> socket
  ceiling.py relay PORT TARGET_PORT     poll relay with a 256 KiB buffer
"""
import fcntl
import os
import select
import socket
import sys

MIB = 1 << 20


def listen(family, address):
    server = socket.socket(family, socket.SOCK_STREAM)
    if family == socket.AF_INET:
        server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(address)
    server.listen(1)
    connection, _ = server.accept()
    server.close()
    return connection


def copy_rw(source, destination, size):
    while True:
        data = os.read(source, size)
        if not data:
            return
        view = memoryview(data)
        while view:
            view = view[os.write(destination, view):]


def splice_through_pipe(source, destination):
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, MIB)
    while True:
        moved = os.splice(source, write_end, MIB)
        if moved == 0:
            return
        while moved:
            moved -= os.splice(read_end, destination, moved)


def relay(port, target_port):
    near = listen(socket.AF_INET, ("127.0.0.1", port))
    far = socket.create_connection(("127.0.0.1", target_port))
    poller = select.poll()
    for side in (near, far):
        poller.register(side, select.POLLIN)
    other = {near.fileno(): far, far.fileno(): near}
    while True:
        for fd, _ in poller.poll():
            data = os.read(fd, 256 * 1024)
            if not data:
                return
            other[fd].sendall(data)


def accepted(where):
    if "/" in where:
        return listen(socket.AF_UNIX, where)
    return listen(socket.AF_INET, ("127.0.0.1", int(where)))


def connected(where):
    if "/" in where:
        connection = socket.socket(socket.AF_UNIX)
        connection.connect(where)
        return connection
    return socket.create_connection(("127.0.0.1", int(where)))


def main():
    mode, where = sys.argv[1], sys.argv[2]
    move = copy_rw if mode.endswith("-rw") else lambda source, destination, _: splice_through_pipe(source, destination)
    if mode.startswith("recv-"):
        connection = accepted(where)
        move(connection.fileno(), sys.stdout.fileno(), MIB)
        if "/" in where:
            os.unlink(where)
    elif mode.startswith("send-"):
        with connected(where) as s, open(sys.argv[3], "rb") as f:
            move(f.fileno(), s.fileno(), MIB)
    elif mode == "relay":
        relay(int(where), int(sys.argv[3]))


if __name__ == "__main__":
    main()
