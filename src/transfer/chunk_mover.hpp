// SPDX-License-Identifier: BSD-2-Clause
// The one way a chunk moves from a source descriptor to a destination, whatever carries it:
// plain read and write, or (on Linux) the kernel's sendfile, splice and tee. Every copy and
// the relay go through move_chunk and decide for themselves what its result means.
#pragma once

#include "transfer/kernel_path.hpp"

#include <cstddef>
#include <span>

struct chunk_result {
    enum kind_type {
        moved,               // `bytes` bytes reached the destination
        source_ended,        // the source has no more data
        source_failed,       // reading the source failed: `error`
        destination_failed,  // writing the destination failed: `error`
        must_wait,           // nothing more can move until `fd` is ready for `events`
    } kind;
    std::size_t bytes = 0;
    // The moved chunk, when it passed through the program (the checksum or the echo log
    // needs it); empty when the kernel moved it alone.
    std::span<const unsigned char> seen{};
    int error = 0;
    int fd = -1;       // must_wait: the descriptor to wait for; a failure: the one that failed
    short events = 0;  // must_wait: POLLIN or POLLOUT
};

// A source that shrank between the read of a chunk (for the checksum) and its sending by
// offset: the bytes sent would not be the bytes counted.
constexpr int source_changed_error = -1;

struct chunk_mover {
    int from_fd;
    int to_fd;
    std::span<unsigned char> buffer;  // one chunk: at most buffer.size() bytes move at a time
    bool to_socket;                   // written with send(), never raising SIGPIPE
    bool writes_never_block;          // a full destination is a must_wait, even a blocking one
    // A chunk taken from the source that has not all reached the destination: the next
    // move_chunk delivers the rest before it takes anything new.
    std::size_t pending_length;
    std::size_t pending_delivered;
    kernel_channel kernel;  // in use while kernel.method isn't kernel_method::none
};

// A mover for this pair. `needs_bytes`: every chunk must pass through the buffer.
[[nodiscard]] chunk_mover open_mover(int from_fd, int to_fd, std::span<unsigned char> buffer,
                                     bool needs_bytes);
[[nodiscard]] chunk_result move_chunk(chunk_mover& mover);
void close_mover(chunk_mover& mover);

// Waits until `fd` is ready for `events`, at most `timeout_ms` (-1: no limit). False when
// the time passed first.
[[nodiscard]] bool wait_for(int fd, short events, int timeout_ms);

// Whether the descriptor is a socket (written with send(), and quiet when it fails in a
// two-way transfer).
[[nodiscard]] bool is_socket(int fd);

// Whether a failure is the interrupt handler's doing: it closed the descriptor under the
// call, which is how a user ends a transfer, and nothing is reported.
[[nodiscard]] bool failed_by_interrupt(int error);
