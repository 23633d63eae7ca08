// SPDX-License-Identifier: BSD-2-Clause
// How many bytes one move may take, and which way they go. Where a chunk can be seen (a dot
// for each, an echo record for each) or the user gave --buffer-size, every chunk is at most
// buffer_size bytes, exactly as asked. Elsewhere neither the size of a system call nor the
// way the bytes travel changes a byte, count, checksum or line, and ferrox picks, by
// measurement, what each consumer takes fastest: larger moves into a file, between a file and
// a TCP connection either way (larger still from the connection into the file), between two
// connections of a relay and, with the checksum, from a UNIX-domain connection into a pipe;
// buffer_size everywhere else (a socket into a pipe or /dev/null, where larger moves measured no
// faster).
#pragma once

#include <cstddef>
#include <cstdint>

// Into a regular file from anything but a TCP connection of this run: inside the kernel and
// through the program alike.
constexpr std::size_t unseen_file_move = std::size_t{256} << 10;
// With the checksum, from a UNIX-domain connection into a pipe: through the program.
constexpr std::size_t unseen_summed_pipe_move = std::size_t{256} << 10;
// From a regular file into a TCP connection: through the program. Moves of 1 MiB measured
// no faster.
constexpr std::size_t unseen_file_to_tcp_move = std::size_t{512} << 10;
// From a TCP connection into a regular file: through the program. Reads of at most 512 KiB
// measured 1.02x to 1.05x slower into a tmpfs file, as the minimal read/write mover does with
// a 512 KiB buffer against its 1 MiB; into a disk file and with the checksum 1 MiB is no
// slower. Such a receiver touches 1 MiB of its buffer, about 4 MiB at its peak.
constexpr std::size_t unseen_tcp_to_file_move = std::size_t{1} << 20;
// Between two connections of a relay: through the program. A relay touches this much of the
// buffer of each direction that carries bulk; two of 512 KiB took its peak memory past 4 MiB.
constexpr std::size_t unseen_relay_move = std::size_t{256} << 10;

// With the checksum, what a pipe that ferrox writes (standard output, read by another program)
// is made to hold: the most an unprivileged program may ask for, which measured faster for a
// --sum receiver into a pipe read by cat. Without --sum it measured no faster, and the pipe,
// which outlives ferrox and may be shared, is left as it was given.
constexpr std::size_t unseen_pipe_capacity = std::size_t{1} << 20;

// The size of the buffer to allocate for a transfer: the largest move it may make. Only what
// a move fills of it is ever touched.
[[nodiscard]] std::size_t transfer_buffer_size(bool chunks_seen);

// The chunks of this run keep to buffer_size.
[[nodiscard]] bool chunks_keep_buffer_size(bool chunks_seen);

// What a lane's two ends are, as far as the size and way of its moves go.
struct lane_ends {
    bool from_file;        // the source is a regular file
    bool into_file;        // the destination is a regular file
    bool from_connection;  // the source is a connection of this run
    bool into_connection;  // the destination is a connection of this run
    bool into_tcp;         // ... and a TCP one
    bool from_tcp;         // the source is a TCP connection of this run
    bool into_pipe;        // the destination is a pipe
    bool bytes_needed;     // every chunk passes through the program (the checksum)
};

// The way a lane's bytes go.
enum class move_route : std::uint8_t {
    kernel_when_it_can,  // sendfile or splice where the pair allows, else read and write
    // read and write: the bytes that reach a loopback receiver are fresh in the cache; pages
    // passed on unread (sendfile from a file, splice from another connection) measured slower
    // for a receiver that copies them
    through_program,
    // each chunk is read, then the kernel sends it from the file: the read costs the sender
    // little and, measured into a UNIX-domain receiver that copies (a pipe, a file), makes
    // the receiver faster than pages sent unread
    read_then_kernel,
};

struct move_limits {
    std::size_t in_kernel;        // a move that the kernel makes alone
    std::size_t through_program;  // a move whose bytes pass through the buffer
    move_route route;
};

// The limits of a lane whose chunks can't be seen.
[[nodiscard]] move_limits unseen_move_limits(const lane_ends& ends);
