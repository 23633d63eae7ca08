// SPDX-License-Identifier: BSD-2-Clause
// One-way copy from one descriptor to another, chunk by chunk, until the source ends.
#pragma once

#include "transfer/chunk_mover.hpp"

// Returns the result that ended the copy: source_ended, source_failed or
// destination_failed. A full destination or an empty source is waited for.
using copy_fn_type = chunk_result (*)(int from_fd, int to_fd);

[[nodiscard]] chunk_result copy_plain(int from_fd, int to_fd);
// As copy_plain, plus one "." on standard error per chunk.
[[nodiscard]] chunk_result copy_dots(int from_fd, int to_fd);
