// SPDX-License-Identifier: BSD-2-Clause
// The one wait of a transfer: every descriptor in play goes into one poll per turn, and this
// is the one place where Ctrl-C and the idle period are noticed.
#pragma once

#include <chrono>
#include <poll.h>
#include <span>
#include <sys/time.h>

// How long a transfer may stay idle.
struct idle_limit {
    bool in_force = false;
    std::chrono::milliseconds period{};
};

enum class wait_outcome {
    ready,        // a descriptor is ready, or has an error or hang-up to tell
    idle,         // the idle period passed with nothing ready
    interrupted,  // Ctrl-C or Ctrl-\ was pressed
    failed,       // poll failed: errno tells why
};

// The idle limit that --timeout sets. False, with errno EINVAL, for a period no wait can take
// (a negative one). A period longer than anyone waits is no limit.
[[nodiscard]] bool idle_limit_from(const timeval* timeout, idle_limit& limit);

// Waits until a descriptor of `watched` is ready, the limit passes or the run is interrupted.
// A signal that doesn't end the run (one that stops and continues it, say) is waited through.
[[nodiscard]] wait_outcome wait_for_any(std::span<pollfd> watched, const idle_limit& limit);

// Sleeps up to `pause` while nothing in `watched` is ready; the outcome as for wait_for_any,
// with `idle` when the pause passed.
[[nodiscard]] wait_outcome pause_unless_ready(std::span<pollfd> watched,
                                              std::chrono::milliseconds pause);
