// The implementations behind checksum_update: the portable blocked one and SIMD ones that
// give identical values. checksum_update picks the fastest the processor supports, once.
#pragma once

#include <cstddef>
#include <cstdint>

using checksum_path = std::uint32_t (*)(std::uint32_t value, const unsigned char* data,
                                        std::size_t length);

std::uint32_t checksum_portable(std::uint32_t value, const unsigned char* data, std::size_t length);
std::uint32_t checksum_ssse3(std::uint32_t value, const unsigned char* data, std::size_t length);
std::uint32_t checksum_avx2(std::uint32_t value, const unsigned char* data, std::size_t length);

struct named_checksum_path {
    const char* name;
    checksum_path update;
};

// The paths this processor can run, the portable one first.
[[nodiscard]] std::size_t supported_checksum_paths(named_checksum_path* paths,
                                                   std::size_t capacity);
