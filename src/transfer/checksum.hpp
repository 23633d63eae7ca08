// SPDX-License-Identifier: BSD-2-Clause
// The running Adler-32 checksum of every byte read.
#pragma once

#include <cstdint>

// Adler-32 update of `value` with `length` bytes. A null buffer yields 1, the starting
// value; a length of 0 leaves the value unchanged. `length` must not be negative.
[[nodiscard]] unsigned long checksum_update(unsigned long value, const unsigned char* buffer,
                                            std::int32_t length);
