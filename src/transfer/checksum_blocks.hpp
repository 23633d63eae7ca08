// SPDX-License-Identifier: BSD-2-Clause
// The arithmetic that every checksum path shares: the modulus, the block within which sums
// can't overflow, the byte loop, and how a vector unit's partial sums fold into s1 and s2.
#pragma once

#include <cstddef>
#include <cstdint>

namespace checksum_blocks {

constexpr std::uint32_t modulus = 65521;  // the largest prime below 65536
// The longest block whose sums, starting from reduced values, stay below 2^32.
constexpr std::size_t block_length = 5552;

inline void add_bytes(std::uint32_t& s1, std::uint32_t& s2, const unsigned char* data,
                      std::size_t length) {
    for (; length >= 16; length -= 16, data += 16) {
        for (int i = 0; i < 16; ++i) {
            s1 += data[i];
            s2 += s1;
        }
    }
    for (; length > 0; --length, ++data) {
        s1 += *data;
        s2 += s1;
    }
}

inline std::uint32_t combine(std::uint32_t s1, std::uint32_t s2) {
    return (s2 << 16) | s1;
}

// The sums of a run of whole vectors, from the vector unit's partial sums:
// s1 grows by every byte, s2 by s1 for every byte, so a run of `count` bytes adds
// count * s1 to s2 besides the weighted sums of the bytes themselves.
inline void fold(std::uint32_t& s1, std::uint32_t& s2, std::uint64_t byte_sum,
                 std::uint64_t weighted_sum, std::size_t count) {
    const std::uint64_t new_s2 = s2 + static_cast<std::uint64_t>(count) * s1 + weighted_sum;
    s1 = static_cast<std::uint32_t>((s1 + byte_sum) % modulus);
    s2 = static_cast<std::uint32_t>(new_s2 % modulus);
}
}  // namespace checksum_blocks
