// SPDX-License-Identifier: BSD-2-Clause
// The watch that a transfer keeps on its connections for a reset. A lane that is done, one
// whose end is held back, and one that waits for room no longer wait on the connection they
// read, but a peer that resets must still be told as it would be connected directly: each
// turn's wait also asks for the errors and hang-ups of the connections that no lane waits on
// or is about to read.
#pragma once

#include "transfer/transfer_loop.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <poll.h>
#include <span>
#include <vector>

// A connection of the transfer, watched for its errors and hang-up alone.
struct connection_watch {
    int fd = -1;
    bool hung_up = false;  // it hung up without an error (both ends, normally): not watched again
};

// The connections of a transfer: a relay has two.
using connection_watches = std::array<connection_watch, 2>;

// Watches every connection that the lanes read or write.
[[nodiscard]] connection_watches watch_connections(std::span<const lane> lanes);

// Adds the watched connections that no lane waits on or is about to read to this turn's wait,
// for their errors and hang-up alone (poll tells those whatever it is asked). Returns how many
// went in, after those already in `watched`.
[[nodiscard]] std::size_t add_watches(std::vector<pollfd>& watched,
                                      const connection_watches& watches,
                                      std::span<const lane> lanes);

// What the wait found of the watched connections: an error (a reset) fails the transfer as a
// read of the connection would; a hang-up without one follows two normal ends, and that
// connection is left alone from now on.
[[nodiscard]] std::optional<transfer_end> note_watches(connection_watches& watches,
                                                       std::span<const pollfd> found);
