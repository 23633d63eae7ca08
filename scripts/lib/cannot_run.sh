# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Sourced by the test scripts. A check that can't run on this machine says so; under CI
# (CI set in the environment) that is a failure, so that nothing is skipped silently there.
cannot_run() {
    echo "$1"
    if [ -n "${CI:-}" ]; then
        echo "CI is set: a check that can't run fails the run"
        exit 1
    fi
}
