// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/wait.hpp"

#include "platform/platform.hpp"
#include "state/run_state.hpp"

#include <cerrno>
#include <climits>

namespace {

using steady = std::chrono::steady_clock;

// Periods beyond this are no limit at all (the clock arithmetic would overflow on them).
constexpr long long longest_period_seconds = 1'000'000'000;

int milliseconds_left(steady::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now());
    if (left.count() <= 0) {
        return 0;
    }
    return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

}  // namespace

bool idle_limit_from(const timeval* timeout, idle_limit& limit) {
    limit = {};
    if (timeout == nullptr) {
        return true;
    }
    const long long seconds = timeout->tv_sec;
    const long long microseconds = timeout->tv_usec;
    if (seconds < 0 || microseconds < 0) {
        errno = EINVAL;
        return false;
    }
    if (seconds > longest_period_seconds || microseconds / 1'000'000 > longest_period_seconds) {
        return true;
    }
    const auto period = std::chrono::seconds(seconds) + std::chrono::microseconds(microseconds);
    limit = {true, std::chrono::ceil<std::chrono::milliseconds>(period)};
    return true;
}

wait_outcome wait_for_any(std::span<pollfd> watched, const idle_limit& limit) {
    const steady::time_point deadline = steady::now() + limit.period;
    for (;;) {
        const int timeout_ms = limit.in_force ? milliseconds_left(deadline) : -1;
        const int ready =
            poll_unless_stopped(watched.data(), watched.size(), timeout_ms, interrupt_seen);
        if (ready > 0) {
            return wait_outcome::ready;
        }
        if (interrupt_seen != 0) {
            return wait_outcome::interrupted;
        }
        if (ready < 0 && errno != EINTR) {
            return wait_outcome::failed;
        }
        if (ready == 0 && limit.in_force && steady::now() >= deadline) {
            return wait_outcome::idle;
        }
    }
}

wait_outcome pause_unless_ready(std::span<pollfd> watched, std::chrono::milliseconds pause) {
    return wait_for_any(watched, idle_limit{true, pause});
}
