# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Runs the ARM64 ferrox under qemu-user in place of the one an end-to-end test names (its
# path comes first and is dropped): the tests' FERROX_TEST_WRAPPER.
shift
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
exec qemu-aarch64 -L /usr/aarch64-linux-gnu "$root/build/aarch64/ferrox" "$@"
