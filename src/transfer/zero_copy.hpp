// Moving chunks between descriptors inside the kernel (sendfile, splice). A chunk is still
// at most buffer_size bytes and is counted and dotted as one. When the program must see the
// bytes (the checksum), each chunk is also copied once into the chunk buffer and shown to an
// inspector before it is written, instead of being read in and written out again.
#pragma once

#include <cstddef>
#include <optional>
#include <sys/types.h>

enum class zero_copy_method {
    sendfile_from_file,  // a regular file into a socket
    splice_direct,       // one side is a pipe
    splice_via_pipe,     // through a pipe of our own
};

// Sees every chunk after it was read and before it is written.
using chunk_inspector = void (*)(const unsigned char* chunk, std::size_t length);

struct zero_copy_channel {
    zero_copy_method method;
    int pipe_read = -1;
    int pipe_write = -1;
    chunk_inspector inspect = nullptr;
    int copy_read = -1;  // a second pipe that receives a tee of each chunk for the inspector
    int copy_write = -1;
    bool proven = false;  // a chunk has gone through: the kernel supports this pair
    // The destination refused the pipe's pages after a chunk was taken from the source;
    // that chunk went by read and write, and so do the following ones.
    bool refused_by_destination = false;
};

struct chunk_move {
    enum outcome_kind {
        moved,         // `bytes` bytes reached the destination
        source_ended,  // the end of the data, or a read error
        unsupported,   // the kernel refuses the pair; nothing of this chunk moved: copy instead
        write_failed,  // the destination failed; `error` tells why
    } outcome;
    ssize_t bytes = 0;
    int error = 0;
};

// The method for this pair of descriptors, or none when only read and write can serve.
[[nodiscard]] std::optional<zero_copy_channel>
open_zero_copy(int from_fd, int to_fd, std::size_t chunk_size, chunk_inspector inspect = nullptr);

// Moves one chunk of at most `limit` bytes. `buffer` (of `limit` bytes) holds the chunk for
// the inspector, and serves when the destination refuses a splice after the chunk was taken
// from the source.
[[nodiscard]] chunk_move move_chunk(zero_copy_channel& channel, int from_fd, int to_fd,
                                    std::size_t limit, unsigned char* buffer);

void close_zero_copy(zero_copy_channel& channel);

// sendfile and splice can't be told not to raise SIGPIPE when a socket's peer has gone.
// While they write to sockets, SIGPIPE is blocked; afterwards one raised meanwhile is
// discarded and the signal unblocked, so a peer that has gone is a failed write, as with
// send(MSG_NOSIGNAL), and a pipe on standard output still ends the process by SIGPIPE.
void block_sigpipe();
void discard_sigpipe_and_unblock();
