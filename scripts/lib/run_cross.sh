# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Runs a cross-built ferrox under qemu-user in place of the one an end-to-end test names:
# the tests' FERROX_TEST_WRAPPER, as "bash scripts/lib/run_cross.sh PRESET" (aarch64, armhf,
# s390x, musl-aarch64). The path the test names follows the preset and is dropped.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/scripts/lib/cross_targets.sh"
preset=$1
cross_target "$preset" || exit 127
shift 2
exec "${cross_runs[@]}" "$root/build/$preset/ferrox" "$@"
