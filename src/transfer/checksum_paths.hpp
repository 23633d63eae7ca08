// SPDX-License-Identifier: BSD-2-Clause
// The implementations behind checksum_update: the portable blocked one and SIMD ones that
// give identical values. checksum_update picks the fastest the processor supports, once.
// Vector paths exist for x86-64 (SSSE3, AVX2: chosen by the processor at run time) and
// ARM64 (NEON, which every ARM64 processor has).
#pragma once

#include <cstddef>
#include <cstdint>

using checksum_path = std::uint32_t (*)(std::uint32_t value, const unsigned char* data,
                                        std::size_t length);

std::uint32_t checksum_portable(std::uint32_t value, const unsigned char* data, std::size_t length);

struct named_checksum_path {
    const char* name;
    checksum_path update;
};

// The most paths any processor has: the portable one and the vector ones of its architecture.
constexpr std::size_t max_checksum_paths = 4;

// The paths this processor can run, the portable one first and the fastest last.
[[nodiscard]] std::size_t supported_checksum_paths(named_checksum_path* paths,
                                                   std::size_t capacity);

// Adds the vector paths of this architecture that the processor can run, slowest first, after
// the `count` already in `paths`; returns the new count. Each architecture has its own file
// (checksum_x86.cpp, checksum_arm64.cpp; checksum_scalar_only.cpp for the others).
[[nodiscard]] std::size_t add_vector_checksum_paths(named_checksum_path* paths, std::size_t count,
                                                    std::size_t capacity);
