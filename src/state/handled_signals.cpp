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

void restore_signal_mask(const sigset_t& previous) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}
