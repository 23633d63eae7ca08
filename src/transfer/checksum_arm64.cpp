// SPDX-License-Identifier: BSD-2-Clause
// The ARM64 vector path of the checksum. NEON is part of every ARM64 processor, so it is
// always offered.
#include "transfer/checksum_blocks.hpp"
#include "transfer/checksum_paths.hpp"

#include <arm_neon.h>

using namespace checksum_blocks;

namespace {

// 16 bytes a step, as the x86 paths do it: the sum of the bytes so far goes into `prefix`
// (it counts 16 times for every later step), the bytes' own sum into `bytes`, and their sum
// weighted 16, 15, ... 1 into `weighted`. The lanes stay below 2^32 within a block.
std::uint32_t checksum_neon(std::uint32_t value, const unsigned char* data, std::size_t length) {
    constexpr std::size_t step = 16;
    constexpr std::size_t block = block_length / step * step;
    constexpr std::uint8_t weight_values[step] = {16, 15, 14, 13, 12, 11, 10, 9,
                                                  8,  7,  6,  5,  4,  3,  2,  1};
    const uint8x16_t weights = vld1q_u8(weight_values);
    std::uint32_t s1 = value & 0xffff;
    std::uint32_t s2 = (value >> 16) & 0xffff;
    while (length >= step) {
        const std::size_t run = (length < block ? length : block) / step * step;
        uint32x4_t bytes = vdupq_n_u32(0), prefix = vdupq_n_u32(0), weighted = vdupq_n_u32(0);
        for (std::size_t at = 0; at < run; at += step) {
            const uint8x16_t chunk = vld1q_u8(data + at);
            prefix = vaddq_u32(prefix, bytes);
            bytes = vpadalq_u16(bytes, vpaddlq_u8(chunk));
            uint16x8_t products = vmull_u8(vget_low_u8(chunk), vget_low_u8(weights));
            products = vmlal_u8(products, vget_high_u8(chunk), vget_high_u8(weights));
            weighted = vpadalq_u16(weighted, products);
        }
        fold(s1, s2, vaddvq_u32(bytes),
             step * static_cast<std::uint64_t>(vaddvq_u32(prefix)) + vaddvq_u32(weighted), run);
        data += run;
        length -= run;
    }
    add_bytes(s1, s2, data, length);
    return combine(s1 % modulus, s2 % modulus);
}

}  // namespace

std::size_t add_vector_checksum_paths(named_checksum_path* paths, std::size_t count,
                                      std::size_t capacity) {
    if (count < capacity) {
        paths[count++] = {"neon", checksum_neon};
    }
    return count;
}
