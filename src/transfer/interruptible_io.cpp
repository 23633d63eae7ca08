// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/interruptible_io.hpp"

#include "state/run_state.hpp"
#include "transfer/wait.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/time.h>
#include <unistd.h>

namespace {

int callers = 0;  // movers between begin_ and end_interruptible_calls
struct sigaction saved_interrupt {};
struct sigaction saved_quit {};
struct sigaction saved_alarm {};

// Its signal interrupts the call; nothing else is to be done.
void on_alarm(int /*signal_number*/) {}

// Installs the handler of `signal_number` again without SA_RESTART; `saved` keeps it as it was.
void stop_restarting(int signal_number, struct sigaction& saved) {
    sigaction(signal_number, nullptr, &saved);
    struct sigaction changed = saved;
    changed.sa_flags &= ~SA_RESTART;
    sigaction(signal_number, &changed, nullptr);
}

sigset_t interrupting_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGALRM);
    return set;
}

// The timer that a blocked call runs under: the idle period of the transfer, where it has one
// (the call follows a wait that found bytes or room, or a chunk just taken, and the period
// starts there). It rings again every period: a first ring just before the call began must
// not leave the call without one.
bool timer_of_call(itimerval& timer) {
    idle_limit limit;
    if (!idle_limit_of_transfer(limit) || !limit.in_force) {
        return false;
    }
    // A period of 0 (no waiting at all) gets the shortest ring that a call can notice.
    const long long microseconds = std::max<long long>(limit.period.count() * 1000, 1000);
    const timeval period{static_cast<time_t>(microseconds / 1'000'000),
                         static_cast<suseconds_t>(microseconds % 1'000'000)};
    timer = {period, period};
    return true;
}

// Makes `call` with the interrupt signals let in, under the timer where there is one.
template <typename Call> ssize_t call_interruptibly(Call call) {
    // A Ctrl-C held back until now is handled as the signals are let in, and seen below.
    const sigset_t signals = interrupting_signals();
    sigset_t previous;
    sigprocmask(SIG_UNBLOCK, &signals, &previous);
    itimerval timer{};
    const bool timed = timer_of_call(timer);
    if (timed) {
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ssize_t done = -1;
    errno = EAGAIN;
    if (interrupt_seen == 0) {
        done = call();
    }
    const int error = errno;
    if (timed) {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = error == EINTR ? EAGAIN : error;
    return done;
}

}  // namespace

void begin_interruptible_calls() {
    if (callers++ > 0) {
        return;
    }
    stop_restarting(SIGINT, saved_interrupt);
    stop_restarting(SIGQUIT, saved_quit);
    struct sigaction alarm_action {};
    alarm_action.sa_handler = on_alarm;
    sigemptyset(&alarm_action.sa_mask);
    sigaction(SIGALRM, &alarm_action, &saved_alarm);
}

void end_interruptible_calls() {
    if (callers == 0 || --callers > 0) {
        return;
    }
    sigaction(SIGALRM, &saved_alarm, nullptr);
    sigaction(SIGQUIT, &saved_quit, nullptr);
    sigaction(SIGINT, &saved_interrupt, nullptr);
}

ssize_t read_interruptibly(int fd, void* data, std::size_t length) {
    return call_interruptibly([=] { return read(fd, data, length); });
}

ssize_t write_interruptibly(int fd, const void* data, std::size_t length) {
    return call_interruptibly([=] { return write(fd, data, length); });
}
