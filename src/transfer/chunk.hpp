// SPDX-License-Identifier: BSD-2-Clause
// The records of a chunk's way from a source to a destination: its two ends, the chunk in
// flight, the kernel's channel and the result of a move. The mover (transfer/chunk_mover.hpp)
// and its two routes, plain (transfer/plain_path.hpp) and kernel (transfer/kernel_path.hpp),
// share them; nothing here calls the system.
#pragma once

#include "platform/descriptor.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/types.h>

enum class kernel_method : std::uint8_t {
    none,                // read and write
    sendfile_from_file,  // a regular file into a socket of ours
    splice_direct,       // one side is a pipe
    splice_via_pipe,     // through a pipe of our own
};

struct kernel_channel {
    kernel_method method = kernel_method::none;
    int pipe_read = -1;  // our own pipe, for splice_via_pipe
    int pipe_write = -1;
    bool pair_supported = false;  // a chunk has gone through: the kernel supports this pair
    off_t file_position = -1;     // sendfile after a read: where the next read starts
};

// Which of a lane's ends a move waits for.
enum class awaited_end : std::uint8_t {
    source,       // POLLIN on the source: it has nothing yet
    destination,  // POLLOUT on the destination: it has no room yet
    both,         // a splice between them took nothing, and the wait hasn't said which
};

struct chunk_result {
    enum kind_type {
        moved,               // `bytes` bytes reached the destination
        source_ended,        // the source has no more data
        source_failed,       // reading the source failed: `error`
        destination_failed,  // writing the destination failed: `error`
        must_wait,           // nothing more can move until the `awaited` end is ready
        // Only the mover sees the kinds below.
        taken,  // a chunk was taken from the source and is in flight: it goes on to be delivered
        // The kernel's route can't carry this chunk; the plain one takes it over at once.
        plain_from_now_on,  // the kernel refuses this pair
        // This chunk only, and the kernel route goes on after: a splice took nothing from
        // ends the wait found ready (a TCP socket's splice stops short of an urgent byte),
        // a socket's splice gave 0 (only a read tells its end from an urgent byte), or the
        // chunk was handed over already and waits in the buffer.
        plain_for_a_chunk,
    } kind;
    std::size_t bytes = 0;
    // The moved chunk, when it passed through the program (the checksum or the echo log
    // needs it); empty when the kernel moved it alone.
    std::span<const unsigned char> seen{};
    int error = 0;
    int fd = -1;  // a failure: the descriptor that failed
    awaited_end awaited = awaited_end::source;
};

// A source that shrank between the read of a chunk (for the checksum) and its sending by
// offset: the bytes sent would not be the bytes counted.
constexpr int source_changed_error = -1;

// What a descriptor is, for reading and writing it without ever being blocked.
enum class stream_kind : std::uint8_t {
    always_ready,   // a regular file or a device such as /dev/null
    own_socket,     // a connection of ours: non-blocking for the transfer
    shared_socket,  // a socket we were given as a standard stream: one call at a time won't wait
    shared_pipe,    // a pipe we were given: read once it has bytes, written within its room
    // a pipe we were given, read or written through a non-blocking open of our own, or a
    // terminal written so: a call takes what there is or what fits, and never waits
    reopened,
    terminal,  // read once it has bytes, written in small pieces once it has room
    // a pipe or a terminal not opened for the way it is used (the read end of a pipe given as
    // standard output): never waited for, its call fails at once as in any program
    not_open_this_way,
};

// The chunk between source and destination: taken from the source, not yet all delivered.
// Only the mover and its two paths change it.
struct chunk_in_flight {
    enum class place : std::uint8_t {
        buffer,         // the bytes are in the mover's buffer
        own_pipe,       // in our own pipe (and in the buffer too when they must be seen)
        file_offset,    // in the source file at `file_offset` (and in the buffer)
        file_position,  // at the source file's own position: up to `length`, until its end
    };
    std::size_t length = 0;  // bytes taken; 0: no chunk in flight
    std::size_t delivered = 0;
    place held = place::buffer;
    off_t file_offset = 0;
};

// One end of a lane.
struct stream_end {
    int fd = -1;     // the run's descriptor: what the wait polls, and what a failure names
    int io_fd = -1;  // what reads or writes go through: fd, or a non-blocking one of our own
    stream_kind kind = stream_kind::always_ready;
    descriptor_type type = descriptor_type::unknown;
    int access_mode = -1;  // O_RDONLY, O_WRONLY or O_RDWR; -1 where the system won't say
};

// What the transfer's wait found ready since the lane last moved: a source or destination
// that must be asked before each call (a pipe or terminal we share, a socket we were given
// that a splice would wait on) is called only then; a kernel route that the wait found ready
// and that takes nothing hands the chunk to the plain route.
struct ready_ends {
    bool source = false;
    bool destination = false;
};

struct chunk_mover {
    stream_end source;
    stream_end destination;
    std::span<unsigned char> buffer;  // one chunk: at most buffer.size() bytes move at a time
    // At most this many bytes pass through the buffer in one move (read and write, or a copy
    // for the checksum): no more than the buffer, and only what is touched of it.
    std::size_t buffered_move;
    bool needs_bytes;  // every chunk must pass through the buffer
    chunk_in_flight chunk;
    kernel_channel kernel;  // in use while kernel.method isn't kernel_method::none
};

[[nodiscard]] constexpr bool chunk_in_flight_now(const chunk_mover& mover) {
    return mover.chunk.length > 0;
}

// Whether a stream of this kind is called only once the wait has found it ready: a call on
// it could block.
[[nodiscard]] constexpr bool asked_first(stream_kind kind) {
    return kind == stream_kind::shared_pipe || kind == stream_kind::terminal;
}
