// SPDX-License-Identifier: BSD-2-Clause
// The idle period of a transfer (--timeout), which its wait (transfer/transfer_loop.hpp)
// notices, as it notices Ctrl-C.
#pragma once

#include <chrono>
#include <sys/time.h>

// How long a transfer may stay idle.
struct idle_limit {
    bool in_force = false;
    std::chrono::milliseconds period{};
};

// The idle limit that --timeout sets. False, with errno EINVAL, for a period no wait can take
// (a negative one). A period longer than anyone waits is no limit.
[[nodiscard]] bool idle_limit_from(const timeval* timeout, idle_limit& limit);

// The idle policy of this run's transfers, for their waits and for a call that may block
// (transfer/interruptible_io.hpp) alike: a two-way transfer or a relay ends once it has been
// idle for the --timeout period; a one-way copy has no idle limit and waits for its source and
// destination as long as they live (Ctrl-C ends it). False as idle_limit_from.
[[nodiscard]] bool idle_limit_of_transfer(idle_limit& limit);
