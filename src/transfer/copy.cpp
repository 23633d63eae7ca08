#include "transfer/copy.hpp"

#include "driver/run_state.hpp"
#include "transfer/alloc.hpp"
#include "transfer/checksum.hpp"
#include "transfer/write_all.hpp"
#include "transfer/zero_copy.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

copy_end failed_write(int error) {
    if (!write_failure_is_reportable(error)) {
        return copy_end::write_interrupted;
    }
    errno = error;
    std::perror("write");
    return copy_end::write_failed;
}

void count_chunk(ssize_t n, bool with_dots) {
    run_state.byte_count += n;
    if (with_dots) {
        std::fputc('.', stderr);
    }
}

// The same chunks, counts and dots as the read/write loop, moved by the kernel. Gives
// nothing back when the kernel refuses the pair; the read/write loop then carries on from
// where the kernel stopped.
std::optional<copy_end> copy_in_kernel(zero_copy_channel& channel, int from_fd, int to_fd,
                                       bool with_dots, unsigned char* buffer) {
    const auto size = static_cast<std::size_t>(buffer_size);
    for (;;) {
        const chunk_move move = move_chunk(channel, from_fd, to_fd, size, buffer);
        switch (move.outcome) {
        case chunk_move::moved: count_chunk(move.bytes, with_dots); break;
        case chunk_move::source_ended: return copy_end::source_ended;
        case chunk_move::unsupported: return std::nullopt;
        case chunk_move::write_failed: return failed_write(move.error);
        }
    }
}

std::optional<copy_end> try_zero_copy(int from_fd, int to_fd, bool with_dots, unsigned char* buffer,
                                      destination_kind destination) {
    std::optional<zero_copy_channel> channel =
        open_zero_copy(from_fd, to_fd, static_cast<std::size_t>(buffer_size),
                       has_flag(FLAG_SUM) ? add_to_checksum : nullptr);
    if (!channel) {
        return std::nullopt;
    }
    const bool to_socket = destination == destination_kind::socket;
    if (to_socket) {
        block_sigpipe();
    }
    const std::optional<copy_end> end = copy_in_kernel(*channel, from_fd, to_fd, with_dots, buffer);
    if (to_socket) {
        discard_sigpipe_and_unblock();
    }
    close_zero_copy(*channel);
    return end;
}

copy_end copy_loop(int from_fd, int to_fd, bool with_dots) {
    const auto size = static_cast<std::size_t>(buffer_size);
    const chunk_buffer buffer = alloc_chunk_buffer();
    const destination_kind destination = kind_of_destination(to_fd);
    if (const auto end = try_zero_copy(from_fd, to_fd, with_dots, buffer.get(), destination)) {
        return *end;
    }
    for (;;) {
        const ssize_t n = read(from_fd, buffer.get(), size);
        if (n <= 0) {
            return copy_end::source_ended;
        }
        if (has_flag(FLAG_SUM)) {
            add_to_checksum(buffer.get(), static_cast<std::size_t>(n));
        }
        if (!write_all(to_fd, buffer.get(), static_cast<std::size_t>(n), destination)) {
            // Reading on would drop the data: the copy ends here and says so.
            return failed_write(errno);
        }
        count_chunk(n, with_dots);
    }
}

}  // namespace

void add_to_checksum(const unsigned char* chunk, std::size_t length) {
    run_state.checksum =
        checksum_update(run_state.checksum, chunk, static_cast<std::int32_t>(length));
}

copy_end copy_plain(int from_fd, int to_fd) {
    return copy_loop(from_fd, to_fd, false);
}

copy_end copy_dots(int from_fd, int to_fd) {
    return copy_loop(from_fd, to_fd, true);
}
