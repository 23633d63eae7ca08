#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Reference movers that set the ceilings of the throughput benchmark.

  ceiling.py tcp-recv PORT              read/write with a 1 MiB buffer, socket -> /dev/null
  ceiling.py tcp-send PORT FILE         read/write with a 1 MiB buffer, file -> socket
  ceiling.py unix-recv PATH             splice socket -> pipe -> /dev/null
  ceiling.py unix-send PATH FILE        splice file -> pipe -> socket
  ceiling.py relay PORT TARGET_PORT     poll relay with a 256 KiB buffer
"""
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


def main():
    mode, where = sys.argv[1], sys.argv[2]
    null = os.open(os.devnull, os.O_WRONLY)
    if mode == "tcp-recv":
        connection = listen(socket.AF_INET, ("127.0.0.1", int(where)))
        copy_rw(connection.fileno(), null, MIB)
    elif mode == "tcp-send":
        with socket.create_connection(("127.0.0.1", int(where))) as s, open(sys.argv[3], "rb") as f:
            copy_rw(f.fileno(), s.fileno(), MIB)
    elif mode == "unix-recv":
        connection = listen(socket.AF_UNIX, where)
        splice_through_pipe(connection.fileno(), null)
        os.unlink(where)
    elif mode == "unix-send":
        with socket.socket(socket.AF_UNIX) as s, open(sys.argv[3], "rb") as f:
            s.connect(where)
            splice_through_pipe(f.fileno(), s.fileno())
    elif mode == "relay":
        relay(int(where), int(sys.argv[3]))


if __name__ == "__main__":
    main()
