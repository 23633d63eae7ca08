// SPDX-License-Identifier: BSD-2-Clause
// The connection cycles of a run, their summary lines and the end of run.
#pragma once

#include <sys/time.h>

// Runs connection cycles until the run ends: after one cycle, or never with --continue
// (a fatal exit or a signal ends the process then). Returns the exit status.
[[nodiscard]] int run_connection_loop(int operand_count, char** operands);
