// SPDX-License-Identifier: BSD-2-Clause
// Moving a chunk by read and write: complete on its own, and the path every system has.
#pragma once

#include <cstddef>

struct chunk_mover;
struct chunk_result;

// Reads one chunk into the mover's buffer and writes it whole, or delivers the rest of a
// chunk already taken.
[[nodiscard]] chunk_result plain_move(chunk_mover& mover);

// Reads one chunk into the mover's buffer: it is then in flight, held in the buffer.
[[nodiscard]] chunk_result take_into_buffer(chunk_mover& mover);

// Writes the rest of the chunk held in the mover's buffer.
[[nodiscard]] chunk_result deliver_from_buffer(chunk_mover& mover);
