// SPDX-License-Identifier: BSD-2-Clause
// One-way copy from one descriptor to another, chunk by chunk, until the source ends.
#pragma once

#include "transfer/transfer_loop.hpp"

// Returns how the copy ended: the source's end, a failure of either side, or an interrupt.
// An empty source or a full destination is waited for, for as long as it takes.
using copy_fn_type = transfer_end (*)(int from_fd, int to_fd);

[[nodiscard]] transfer_end copy_plain(int from_fd, int to_fd);
// As copy_plain, plus one "." on standard error per chunk.
[[nodiscard]] transfer_end copy_dots(int from_fd, int to_fd);
