// The signals whose handlers read or write run_state, and holding them back while the main
// flow writes a field that a handler must never see half written or stale.
#pragma once

#include <csignal>

// SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTSTP and SIGCONT.
[[nodiscard]] sigset_t handled_signals();

// Holds every handled signal back and returns the mask to give back afterwards; one that
// comes meanwhile is delivered by restore_signal_mask. Async-signal-safe.
[[nodiscard]] sigset_t block_handled_signals();
void restore_signal_mask(const sigset_t& previous);
