# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Runs another ferrox binary in place of the one an end-to-end test names: the tests'
# FERROX_TEST_WRAPPER, as "bash scripts/lib/run_instead.sh BINARY" (scripts/zig-builds.sh
# runs the suite so against the static musl build). The path the test names follows BINARY
# and is dropped; the process keeps its id (exec), so the tests' signals reach ferrox.
binary=$1
shift 2
exec "$binary" "$@"
