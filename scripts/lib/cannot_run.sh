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
# For a test that ctest runs: when a command it needs isn't installed (a distribution's build
# root has few), it says which and exits 77, which ctest counts as skipped (SKIP_RETURN_CODE);
# under CI it fails instead.
skip_unless_found() {
    local missing=() tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    cannot_run "not found: ${missing[*]}: the check was skipped"
    exit 77
}
