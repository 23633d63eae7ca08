// One-way copy from one descriptor to another, chunk by chunk, until the source ends.
#pragma once

#include <cstddef>

enum class copy_end {
    source_ended,       // the source reported the end of its data, or a read failed
    write_failed,       // a write failed and has been reported under "write"
    write_interrupted,  // a write failed on a descriptor the interrupt handler closed
};

using copy_fn_type = copy_end (*)(int from_fd, int to_fd);

// Adds a chunk to the running checksum; called for every chunk read while --sum is on.
void add_to_checksum(const unsigned char* chunk, std::size_t length);

// Every chunk goes through the same order: read, checksum, write, count (and a dot).
[[nodiscard]] copy_end copy_plain(int from_fd, int to_fd);
// As copy_plain, plus one "." on standard error per chunk.
[[nodiscard]] copy_end copy_dots(int from_fd, int to_fd);
