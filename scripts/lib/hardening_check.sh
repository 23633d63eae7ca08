# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# Sourced by the packaging scripts. check_hardening BINARY: hardening-check's report on the
# binary, and a failure when it finds a protection missing. Control-flow protection shows
# as a property that the linker sets only when every object linked has it, the C library's
# start files included. Where those lack it (Debian 12's do), no binary linked on the system
# can show it: hardening-check is then told not to ask, and the binary's own code is checked
# for the landing pads (endbr64) that -fcf-protection puts at the start of its functions
# instead. Stack clash protection shows only in a function with a frame of more than a page,
# which ferrox hasn't: hardening-check says "unknown" and passes.
check_hardening() {
    local binary=$1 options=() start_files report
    start_files=$(c++ -print-file-name=Scrt1.o 2>/dev/null || g++ -print-file-name=Scrt1.o)
    if [ "$(uname -m)" = x86_64 ] && ! grep -q 'x86 feature: IBT, SHSTK' <<<"$(readelf -n "$start_files")"; then
        options=(--nocfprotection)
        [ "$(objdump -d "$binary" | grep -c endbr64)" -gt 50 ] ||
            { echo "$binary: no landing pads for control-flow protection (-fcf-protection)"; return 1; }
    fi
    report=$(hardening-check "${options[@]}" "$binary") || { echo "$report"; return 1; }
    echo "$report"
}
