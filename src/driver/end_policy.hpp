// SPDX-License-Identifier: BSD-2-Clause
// What a transfer's end means for the run: the one place that ends its progress line, reports
// it and decides the status, and whether the cycle's connections are cut with a reset.
#pragma once

#include "transfer/transfer_loop.hpp"

struct end_verdict {
    int status;  // 0, or 1 once a failure is reported
    // A failure lost bytes on their way, or a timeout left some undelivered: the connections
    // are closed with a reset, so that no peer takes its cut stream for a complete one.
    bool cut;
    bool standard_input_ended;  // standard input was read to its end
    bool interrupted;           // Ctrl-C or Ctrl-\ ended it
    int undelivered;            // bytes written that the peers never got (a reset throws them away)
};

// How a transfer is reported: a failed read under `read_label` (a file operand's name, or
// "read"), a failed write under "write"; a two-way transfer's interrupt and failed wait under
// "select", the name its wait has always had.
struct end_labels {
    const char* read_label;
    bool two_way;
};

// Ends an open progress line (" done." after a quiet end, a bare line end before a failure's
// message), reports the end where it needs a line, and judges it.
[[nodiscard]] end_verdict judge_end(const transfer_end& end, const end_labels& labels);

// A file operand that can't be opened: reported under its name; the others are still sent.
[[nodiscard]] end_verdict judge_unopened_file(const char* name, int error);

// A file operand whose close failed after its transfer: reported, and nothing else changes.
void report_file_close_failure(const char* name, int error);

// A transfer that writes a standard output closed at start: it fails as a write to the
// closed descriptor would, before anything is read.
[[nodiscard]] end_verdict judge_closed_output();

// The run's status from its cycles' statuses: an echo log that lost records fails it too.
[[nodiscard]] int judge_run(int cycles_status);
