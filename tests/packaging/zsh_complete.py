# SPDX-License-Identifier: BSD-2-Clause
"""Types command lines into an interactive zsh on a pseudo-terminal and presses Tab once at
the end of each, as a user would, with the completion system loaded by compinit from the
directory given (as from $fpath). For each line it prints, between lines of its own:

    == <the line typed>
    <everything zsh showed after the Tab: the list of matches with their descriptions>
    -> <the command line after the Tab>

Usage: zsh_complete.py COMPLETION_DIR LINE... (run in the directory the lines refer to)."""
import fcntl
import os
import pty
import re
import select
import signal
import struct
import sys
import termios
import time

MARK = "@@buffer:"
WAIT = 20.0  # seconds for zsh to answer one line


def read_until(fd, pattern, deadline):
    """What zsh writes until PATTERN matches it (a regular expression), or None when the
    deadline passes or zsh ends first."""
    seen = b""
    while True:
        match = re.search(pattern, seen)
        if match:
            return seen, match
        left = deadline - time.monotonic()
        if left <= 0:
            return None, None
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            chunk = b""
        if not chunk:
            return None, None
        seen += chunk


def main():
    directory, lines = sys.argv[1], sys.argv[2:]
    pid, fd = pty.fork()
    if pid == 0:
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.environ.get("HOME", "/"),
            "TERM": "xterm",
            "LC_ALL": "C.UTF-8",
        }
        os.execvpe("zsh", ["zsh", "-f", "-i"], env)
    # wide and tall enough that a list of matches is shown whole, on one line each
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 200, 250, 0, 0))
    # The widget bound to ^X^B prints the command line between marks, and ^U empties it: the
    # next line starts afresh. compinit -D writes no dump file.
    setup = (
        "PS1='%% '; PS2=''; RPS1=''; unsetopt beep listambiguous; bindkey -e; LISTMAX=0\n"
        f"fpath=({directory} $fpath); autoload -Uz compinit; compinit -D -u\n"
        f"show-buffer() {{ print -rn -- $'\\n{MARK}'\"$BUFFER\"$'@@\\n' >/dev/tty; }}\n"
        "zle -N show-buffer; bindkey '^X^B' show-buffer\n"
        "print -r -- ready'@@'\n"
    )
    status = 0
    try:
        os.write(fd, setup.encode())
        seen, _ = read_until(fd, rb"\nready@@", time.monotonic() + WAIT)
        if seen is None:
            print("zsh didn't start its completion system")
            return 1
        for line in lines:
            os.write(fd, line.encode() + b"\t\x18\x02")
            seen, match = read_until(
                fd, (r"\n" + re.escape(MARK) + r"(.*?)@@\r?\n").encode(), time.monotonic() + WAIT
            )
            if seen is None:
                print(f"zsh didn't complete '{line}' in {WAIT:.0f} seconds")
                status = 1
                break
            shown = seen[: match.start()].decode(errors="replace")
            # the terminal's controls taken out: what a user reads
            shown = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b[=>]|[\x07\r]", "", shown)
            print(f"== {line}")
            print(shown)
            print(f"-> {match.group(1).decode(errors='replace')}")
            os.write(fd, b"\x15")
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    return status


if __name__ == "__main__":
    sys.exit(main())
