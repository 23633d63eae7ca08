// SPDX-License-Identifier: BSD-2-Clause
#include "terminal/job_control.hpp"

#include "state/handled_signals.hpp"
#include "state/run_state.hpp"
#include "terminal/tty.hpp"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace {

// Only the terminal's foreground process group may change it; a background one would be
// stopped by SIGTTOU in the attempt.
bool owns_foreground() {
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

void switch_again_if_foreground() {
    if (run_state.tty_switch_on_continue != 0 && owns_foreground()) {
        run_state.tty_switch_on_continue = 0;
        tty_nobuf(STDIN_FILENO, tty_direction::switch_off_canonical);
    }
}

// Stops the process by SIGTSTP with its default action and returns once it goes on. False
// when it never stopped: the system discards that stop for a process group without a parent in
// the session to continue it (a process that leads its own session on the terminal, say).
bool stop_by_default_action() {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    struct sigaction ours {};
    sigaction(SIGTSTP, &default_action, &ours);
    sigset_t stop_signal;
    sigemptyset(&stop_signal);
    sigaddset(&stop_signal, SIGTSTP);
    sigset_t previous;
    sigprocmask(SIG_UNBLOCK, &stop_signal, &previous);
    std::raise(SIGTSTP);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    sigaction(SIGTSTP, &ours, nullptr);
    // The SIGCONT that continued the process waits, held back, for this handler to return.
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGCONT) == 1;
}

}  // namespace

void install_stop_handlers() {
    if (catch_unless_ignored(SIGTSTP, on_stop)) {
        catch_signal(SIGCONT, on_continue);
    }
}

// Only async-signal-safe calls are made here, as in every handler.
void on_stop(int /*signal_number*/) {
    const int saved_errno = errno;
    if (run_state.tty_changed != 0) {
        tty_nobuf(STDIN_FILENO, tty_direction::restore);
        run_state.tty_switch_on_continue = run_state.tty_changed == 0 ? 1 : 0;
    }
    if (!stop_by_default_action()) {
        switch_again_if_foreground();  // nothing will continue us: go on as before
    }
    errno = saved_errno;
}

void on_continue(int /*signal_number*/) {
    const int saved_errno = errno;
    switch_again_if_foreground();
    errno = saved_errno;
}
