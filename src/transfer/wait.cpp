// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/wait.hpp"

#include "state/run_state.hpp"

#include <cerrno>

namespace {

// Periods beyond this are no limit at all (the clock arithmetic would overflow on them).
constexpr long long longest_period_seconds = 1'000'000'000;

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

bool idle_limit_of_transfer(idle_limit& limit) {
    if (!has_flag(FLAG_INPUT) || !has_flag(FLAG_OUTPUT)) {
        limit = {};
        return true;
    }
    return idle_limit_from(run_state.timeout, limit);
}
