// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>

// Writes all `length` bytes to a blocking descriptor (the echo log), writing again from
// where a short write stopped and retrying a write interrupted before it moved anything.
// Returns false when a write fails; errno then tells why.
[[nodiscard]] bool write_all(int fd, const void* data, std::size_t length);
