#pragma once

#include <cstddef>

enum class destination_kind {
    other,
    // A socket is written with send(MSG_NOSIGNAL): a peer that has gone is a failed write
    // that the copy or relay handles, not a SIGPIPE that ends the process without a word.
    socket,
};

[[nodiscard]] destination_kind kind_of_destination(int fd);

// Writes all `length` bytes, writing again from where a short write stopped and retrying a
// write interrupted before it moved anything. Returns false when a write fails; errno then
// tells why.
[[nodiscard]] bool write_all(int fd, const void* data, std::size_t length,
                             destination_kind kind = destination_kind::other);

// Whether a failed write should be reported: not when the interrupt handler closed the
// descriptor under it, which is how a user ends a transfer.
[[nodiscard]] bool write_failure_is_reportable(int saved_errno);
