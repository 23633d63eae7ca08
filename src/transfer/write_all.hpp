#pragma once

#include <cstddef>

// Writes all `length` bytes, writing again from where a short write stopped and retrying a
// write interrupted before it moved anything. Returns false when a write fails; errno then
// tells why.
[[nodiscard]] bool write_all(int fd, const void* data, std::size_t length);

// Whether a failed write should be reported: not when the interrupt handler closed the
// descriptor under it, which is how a user ends a transfer.
[[nodiscard]] bool write_failure_is_reportable(int saved_errno);
