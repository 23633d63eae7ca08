# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Runs another ferrox binary in place of the one an end-to-end test names: the tests'
# FERROX_TEST_WRAPPER, as "bash scripts/lib/run_instead.sh BINARY" (scripts/zig-builds.sh
# runs the suite so against the static musl build). The path the test names follows BINARY
# and is dropped; ferrox gets the argument 0 that the test meant (FERROX_TEST_ARGV0, which
# the tests set) and keeps the process's id (exec), so the tests' signals reach it.
binary=$1
argv0=${FERROX_TEST_ARGV0:-$2}
unset FERROX_TEST_ARGV0
shift 2
exec -a "$argv0" "$binary" "$@"
