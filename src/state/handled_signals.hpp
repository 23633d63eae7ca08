// SPDX-License-Identifier: BSD-2-Clause
// The signals whose handlers read or write run_state: installing their handlers, and holding
// them back while the main flow writes a field that a handler must never see half written
// or stale.
#pragma once

#include <csignal>

// SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTSTP and SIGCONT.
[[nodiscard]] sigset_t handled_signals();

// Installs `handler` for `signal_number`. Every handler runs with all the handled signals
// held back, so that none runs inside another: each finds the fields as the main flow or the
// last handler left them. Interrupted reads, writes and accepts go on by themselves.
void catch_signal(int signal_number, void (*handler)(int));

// The same, unless the program found the signal ignored: a signal that its parent ignored
// stays ignored. False when it was left ignored.
bool catch_unless_ignored(int signal_number, void (*handler)(int));

// Holds every handled signal back and returns the mask to give back afterwards; one that
// comes meanwhile is delivered by restore_signal_mask. Async-signal-safe.
[[nodiscard]] sigset_t block_handled_signals();
void restore_signal_mask(const sigset_t& previous);

// Holds SIGINT and SIGQUIT back for a transfer and returns the mask as it was: the one that
// the transfer's waits let them in by, and that restore_signal_mask gives back at its end.
// The other handled signals stay as they were: a stop, a continue, a termination or SIGPIPE
// comes as before. Async-signal-safe.
[[nodiscard]] sigset_t hold_interrupts_back();
