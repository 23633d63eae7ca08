// SPDX-License-Identifier: BSD-2-Clause
// How many bytes one move may take. Where a chunk can be seen (a dot for each, an echo
// record for each) or the user gave --buffer-size, every chunk is at most buffer_size bytes,
// exactly as asked. Elsewhere the size of a system call changes no byte, count, checksum or
// line, and ferrox picks, by measurement, what each consumer takes fastest: larger moves into
// a file and between two connections of a relay, buffer_size everywhere else (a socket or
// /dev/null, where larger moves measured slower).
#pragma once

#include <cstddef>

// Into a regular file: inside the kernel and through the program alike.
constexpr std::size_t unseen_file_move = std::size_t{256} << 10;
// Between two connections of a relay, inside the kernel.
constexpr std::size_t unseen_relay_move = std::size_t{1} << 20;

// The size of the buffer to allocate for a transfer: the largest move it may make. Only what
// a move fills of it is ever touched.
[[nodiscard]] std::size_t transfer_buffer_size(bool chunks_seen);

// The chunks of this run keep to buffer_size.
[[nodiscard]] bool chunks_keep_buffer_size(bool chunks_seen);

struct move_limits {
    std::size_t in_kernel;        // a move that the kernel makes alone
    std::size_t through_program;  // a move whose bytes pass through the buffer
};

// The limits of a lane whose chunks can't be seen. `into_file`: its destination is a regular
// file; `between_connections`: both ends are connections of this run.
[[nodiscard]] move_limits unseen_move_limits(bool into_file, bool between_connections);
