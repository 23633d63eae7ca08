// SPDX-License-Identifier: BSD-2-Clause
// What happens to every chunk that has moved, on every path: the checksum takes its bytes,
// the byte count grows, a dot may show it, and the echo log records it under its label.
#pragma once

#include <cstddef>
#include <span>

// Adds bytes to the running checksum.
void add_to_checksum(std::span<const unsigned char> bytes);

// `seen` holds the chunk's bytes when the checksum or the echo log needs them.
void account_chunk(std::size_t length, std::span<const unsigned char> seen, bool with_dot);

// A chunk's record on its way into the echo log: its lane's label, then its bytes. The log
// may be a FIFO or a terminal that takes nothing for a while; the record then waits in the
// transfer's one wait like any destination, and its lane takes no new chunk meanwhile.
struct echo_record {
    const char* label = nullptr;  // null: no record in flight
    std::span<const unsigned char> bytes{};
    std::size_t written = 0;  // of the label and the bytes together
};

// Writes what the log takes of the record now, without waiting. True when the record is
// complete, or lost with the log (a full disk loses records, never the transfer; its first
// failure is reported under the log's path); false when the log has no room yet.
[[nodiscard]] bool write_echo_record(echo_record& record);

// Whether a record was lost to a failing echo log in this run: the run then ends with
// status 1.
[[nodiscard]] bool echo_log_failed();

// The error that the log first failed with, once: 0 when it hasn't failed, or that error was
// asked for before.
[[nodiscard]] int echo_log_failure_to_tell();

// Whether the chunks of this run must pass through the program.
[[nodiscard]] bool chunks_must_be_seen(bool echo_records);
