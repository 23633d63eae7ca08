// SPDX-License-Identifier: BSD-2-Clause
// The one way a chunk moves from a source descriptor to a destination, whatever carries it:
// plain read and write, or (on Linux) the kernel's sendfile and splice. Every copy and
// the relay go through move_chunk and decide for themselves what its result means.
//
// A route is a take and a deliver. With no chunk in flight the mover takes one from the
// source (into the buffer, into a pipe of our own, or as a span of the source file); with one
// in flight it delivers the rest, the way the place that holds it allows. A splice between a
// pipe and the other end takes and delivers in one call. So the wait comes from what the
// chunk holds: with none, the source (or, for such a splice, whichever of its two ends the
// wait hasn't yet found ready); with one in flight, the destination.
//
// Nothing here ever blocks on a peer or a pipe: a source that has nothing and a destination
// that has no room are a must_wait, and the transfer's one wait decides what comes next. A
// disk write is not a wait.
#pragma once

#include "transfer/chunk.hpp"

#include <span>

// What the descriptor is. `ours`: a connection this run made or accepted.
[[nodiscard]] stream_kind kind_of_stream(int fd, bool ours);

// A mover for this pair. `needs_bytes`: every chunk must pass through the buffer. A pipe that
// we were given, and a terminal that we write, are opened again, non-blocking, where the
// system allows; only for what the given descriptor itself may do.
// `kernel_allowed`: the kernel may move chunks where the pair allows; otherwise every chunk
// goes by read and write.
[[nodiscard]] chunk_mover open_mover(int from_fd, stream_kind from_kind, int to_fd,
                                     stream_kind to_kind, std::span<unsigned char> buffer,
                                     bool needs_bytes, bool kernel_allowed);
// Delivers the chunk in flight, if any; otherwise takes and delivers the next one. `ready`:
// what the wait found ready since the last move.
[[nodiscard]] chunk_result move_chunk(chunk_mover& mover, ready_ends ready);
void close_mover(chunk_mover& mover);

// Closes the destination for good once it has every byte: the descriptor of our own, and the
// given one, whose number /dev/null keeps (no later descriptor of this run may take it).
void end_destination(chunk_mover& mover);

// Whether a failure is the interrupt handler's doing: it closed the descriptor under the
// call, which is how a user ends a transfer, and nothing is reported.
[[nodiscard]] bool failed_by_interrupt(int error);
