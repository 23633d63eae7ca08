// SPDX-License-Identifier: BSD-2-Clause
// How many bytes one move may take. Where a chunk can be seen (a dot for each, an echo
// record for each) or the user gave --buffer-size, every chunk is at most buffer_size bytes,
// exactly as asked. Elsewhere the size of a system call changes no byte, count, checksum or
// line, and ferrox picks what its consumers take fastest: large moves inside the kernel,
// and a buffer four times the default for bytes that pass through the program.
#pragma once

#include <cstddef>

// Inside the kernel: as much as an unprivileged process's pipe may hold.
constexpr std::size_t unseen_kernel_move = std::size_t{1} << 20;
// Through the program (read and write, or a copy for the checksum).
constexpr std::size_t unseen_buffered_move = std::size_t{256} << 10;

// The size of the buffer to allocate for a transfer. Only what a move fills of it is ever
// touched.
[[nodiscard]] std::size_t transfer_buffer_size(bool chunks_seen);

// The chunks of this run keep to buffer_size.
[[nodiscard]] bool chunks_keep_buffer_size(bool chunks_seen);
