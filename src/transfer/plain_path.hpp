// SPDX-License-Identifier: BSD-2-Clause
// Moving a chunk by read and write: the route every system has, and the one that a kernel
// route hands a chunk to when it can't carry it.
#pragma once

struct chunk_mover;
struct chunk_result;
struct ready_ends;

// Delivers the chunk in flight, if any; otherwise reads the next one and writes it.
[[nodiscard]] chunk_result plain_move(chunk_mover& mover, ready_ends ready);

// Reads one chunk into the mover's buffer: it is then in flight, held in the buffer
// (chunk_result::taken). `source_ready`: the wait found the source ready since the last call.
[[nodiscard]] chunk_result take_into_buffer(chunk_mover& mover, bool source_ready);

// Writes the rest of the chunk held in the mover's buffer. `destination_ready`: the wait
// found the destination ready since the last call.
[[nodiscard]] chunk_result deliver_from_buffer(chunk_mover& mover, bool destination_ready);
