// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/checksum.hpp"

#include "transfer/checksum_blocks.hpp"
#include "transfer/checksum_paths.hpp"

using namespace checksum_blocks;

namespace {

checksum_path chosen_path() {
    named_checksum_path paths[max_checksum_paths];
    const std::size_t count = supported_checksum_paths(paths, max_checksum_paths);
    return paths[count - 1].update;
}

}  // namespace

std::uint32_t checksum_portable(std::uint32_t value, const unsigned char* data,
                                std::size_t length) {
    std::uint32_t s1 = value & 0xffff;
    std::uint32_t s2 = (value >> 16) & 0xffff;
    while (length > 0) {
        const std::size_t block = length < block_length ? length : block_length;
        add_bytes(s1, s2, data, block);
        s1 %= modulus;
        s2 %= modulus;
        data += block;
        length -= block;
    }
    return combine(s1, s2);
}

std::size_t supported_checksum_paths(named_checksum_path* paths, std::size_t capacity) {
    std::size_t count = 0;
    if (capacity > 0) {
        paths[count++] = {"portable", checksum_portable};
    }
    return add_vector_checksum_paths(paths, count, capacity);
}

unsigned long checksum_update(unsigned long value, const unsigned char* buffer,
                              std::int32_t length) {
    if (buffer == nullptr) {
        return 1;
    }
    static const checksum_path update = chosen_path();
    return update(static_cast<std::uint32_t>(value), buffer,
                  static_cast<std::size_t>(static_cast<std::uint32_t>(length)));
}
