// SPDX-License-Identifier: BSD-2-Clause
// The end of a connection, as part of the transfer's result: an orderly close waits until the
// peer has every byte that was written, for as long as the connection lives, and tells when
// it didn't get them.
#pragma once

#include "transfer/wait.hpp"

struct close_terms {
    // A one-way sender gives its peer a moment after the last acknowledgement to end or to
    // reset: an acknowledgement says the peer's system has the bytes, not that its program
    // could use them, and a receiver that fails on its first write resets right after.
    bool grace;
    // Two-way transfers and relays: --timeout bounds a wait in which nothing is acknowledged.
    idle_limit limit;
};

struct close_end {
    enum kind_type {
        delivered,      // the peer has every byte, as far as the system can tell
        reset_by_peer,  // the connection failed before that: `error`
        interrupted,    // Ctrl-C or Ctrl-\ ended the wait
        timed_out,      // nothing was acknowledged for the whole --timeout period
    } kind;
    int error = 0;
    // Bytes written that the peer never got, where the system tells (TCP): a timeout's
    // unacknowledged bytes, or what a reset threw away. The summary doesn't count them.
    int undelivered = 0;
};

// How long a one-way sender's peer has to end or reset once it has acknowledged everything.
constexpr int close_grace_ms = 1000;

// Bytes written to the connection that its peer hasn't acknowledged, which a reset throws
// away: TCP's count (our end of data, once `shut_down`, is no byte of the stream). 0 on a
// UNIX-domain connection, whose bytes wait in the peer's own queue, and where the system
// can't tell.
[[nodiscard]] int undelivered_bytes(int fd, bool shut_down);

// Shuts our direction down: the peer gets its end of data after what is queued. False when
// the connection is gone already.
[[nodiscard]] bool begin_orderly_close(int fd);

// Waits until the peer has every byte written (pending input is read and thrown away
// meanwhile, so that the close can't turn into a reset), then closes the socket: plainly
// after delivery or an interrupt, with a reset after a timeout. `shut_down`: what
// begin_orderly_close said.
[[nodiscard]] close_end finish_orderly_close(int fd, bool shut_down, const close_terms& terms);
