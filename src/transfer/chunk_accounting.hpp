// SPDX-License-Identifier: BSD-2-Clause
// What happens to every chunk that has moved, on every path: the checksum takes its bytes,
// the echo log records it under its label, the byte count grows, and a dot may show it.
#pragma once

#include <cstddef>
#include <span>

// Adds bytes to the running checksum.
void add_to_checksum(std::span<const unsigned char> bytes);

// `seen` holds the chunk's bytes when the checksum or the echo log needs them. `echo_label`
// is null where the echo log doesn't record the transfer (one-way copies).
void account_chunk(std::size_t length, std::span<const unsigned char> seen, const char* echo_label,
                   bool with_dot);

// Whether the chunks of this run must pass through the program.
[[nodiscard]] bool chunks_must_be_seen(bool echo_records);
