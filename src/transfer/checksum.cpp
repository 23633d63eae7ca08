#include "transfer/checksum.hpp"

#include <cstddef>

namespace {

constexpr std::uint32_t modulus = 65521;  // the largest prime below 65536
// The longest block whose sums, starting from reduced values, stay below 2^32.
constexpr std::size_t block_length = 5552;

} // namespace

unsigned long checksum_update(unsigned long value, const unsigned char* buffer,
                              std::int32_t length) {
    if (buffer == nullptr) {
        return 1;
    }
    auto s1 = static_cast<std::uint32_t>(value & 0xffff);
    auto s2 = static_cast<std::uint32_t>((value >> 16) & 0xffff);
    auto remaining = static_cast<std::size_t>(static_cast<std::uint32_t>(length));
    while (remaining > 0) {
        std::size_t block = remaining < block_length ? remaining : block_length;
        remaining -= block;
        for (; block >= 16; block -= 16, buffer += 16) {
            for (int i = 0; i < 16; ++i) {
                s1 += buffer[i];
                s2 += s1;
            }
        }
        for (; block > 0; --block, ++buffer) {
            s1 += *buffer;
            s2 += s1;
        }
        s1 %= modulus;
        s2 %= modulus;
    }
    return (static_cast<unsigned long>(s2) << 16) | s1;
}
