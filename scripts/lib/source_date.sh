# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Sourced by the release scripts. The time that a release's files and packages carry:
# SOURCE_DATE_EPOCH when set, else the date of the newest NEWS.md entry (as Debian takes it
# from the newest changelog entry), so that the same sources give the same bytes.
source_date_epoch() {
    if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        echo "$SOURCE_DATE_EPOCH"
        return
    fi
    local day
    day=$(sed -n 's/^## [0-9.]* (\([0-9-]*\))$/\1/p' NEWS.md | head -n 1)
    [ -n "$day" ] || { echo "NEWS.md: no entry headed \"## <version> (<date>)\"" >&2; return 1; }
    date -u -d "$day" +%s
}
