// SPDX-License-Identifier: BSD-2-Clause
// What a connection says about its end, asked without waiting: the transfer loop passes a
// direction's end on with these, and watches the peer take every byte of it in its one wait.
#pragma once

// Bytes written to the connection that its peer hasn't acknowledged, which a reset throws
// away: TCP's count (our end of data, once `shut_down`, is no byte of the stream). 0 on a
// UNIX-domain connection, whose bytes wait in the peer's own queue, and where the system
// can't tell.
[[nodiscard]] int undelivered_bytes(int fd, bool shut_down);

// Shuts our direction down: the peer gets its end of data after what is queued. Returns 0, or
// the error that the connection failed with before (a reset).
[[nodiscard]] int pass_end_on(int fd);

// How far the peer has taken what we wrote, once our side is shut down.
struct acknowledgement {
    enum state_type {
        complete,  // every byte and our end of data are acknowledged
        waiting,   // `queued` bytes (our end of data among them) are not yet
        unknown,   // the system can't count them
        failed,    // the connection failed: `error`
    } state;
    int queued = 0;
    int error = 0;
};
[[nodiscard]] acknowledgement acknowledgement_of(int fd);

// What the peer still sends on a connection that nobody reads any more, read and thrown away
// so that our close can't turn into a reset.
struct leftover_input {
    enum state_type { open, ended, failed } state;
    int error = 0;
};
[[nodiscard]] leftover_input throw_away_input(int fd);

// Bytes that have arrived on the connection and wait to be read; 0 where there are none or
// the system can't tell.
[[nodiscard]] int unread_input(int fd);
