// SPDX-License-Identifier: BSD-2-Clause
#include "state/handled_signals.hpp"

#include <initializer_list>

sigset_t handled_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTSTP, SIGCONT}) {
        sigaddset(&set, number);
    }
    return set;
}

sigset_t block_handled_signals() {
    const sigset_t set = handled_signals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &set, &previous);
    return previous;
}

sigset_t hold_interrupts_back() {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGQUIT);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &interrupts, &previous);
    return previous;
}

void restore_signal_mask(const sigset_t& previous) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void catch_signal(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_mask = handled_signals();
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

bool catch_unless_ignored(int signal_number, void (*handler)(int)) {
    struct sigaction inherited {};
    if (sigaction(signal_number, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
        return false;
    }
    catch_signal(signal_number, handler);
    return true;
}
