# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Sourced by the test scripts, after scripts/lib/cannot_run.sh. offline COMMAND...: runs the
# command as a distribution's build farm runs builds (sbuild, mock): in a network namespace
# of its own with loopback alone, where no name server answers. unshare -rn makes one
# without privileges (as root of a user namespace), and ip brings its loopback up. Where no
# namespace can be made, that is a check that can't run, and the command runs as it is.
offline() {
    if unshare -rn ip link set lo up 2>/dev/null; then
        unshare -rn sh -c 'ip link set lo up && exec "$@"' offline "$@"
    else
        cannot_run "no network namespace (unshare -rn, ip): $1 ran with the network"
        "$@"
    fi
}
