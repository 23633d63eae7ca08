// SPDX-License-Identifier: BSD-2-Clause
// The x86-64 vector paths of the checksum: SSSE3 and AVX2, chosen by what the processor
// supports when the program runs.
#include "transfer/checksum_blocks.hpp"
#include "transfer/checksum_paths.hpp"

#include <cpuid.h>
#include <cstdint>
#include <immintrin.h>

using namespace checksum_blocks;

namespace {

struct vector_support {
    bool ssse3 = false;
    bool avx2 = false;
};

// The extended state that the system saves on a switch (XCR0); asked only where the
// processor says that the system has enabled XGETBV (OSXSAVE).
std::uint64_t enabled_state() {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Asked of the processor itself, with cpuid: the compiler's __builtin_cpu_supports needs
// libgcc's __cpu_model, which other runtimes (Zig's, LLVM's compiler-rt) don't have. AVX2
// also needs the system to save the AVX registers (XMM and YMM state in XCR0), or its
// instructions fault.
vector_support processor_support() {
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    vector_support support;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return support;
    }
    support.ssse3 = (ecx & bit_SSSE3) != 0;
    constexpr std::uint64_t xmm_and_ymm_state = 0x6;
    const bool avx_saved = (ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0 &&
                           (enabled_state() & xmm_and_ymm_state) == xmm_and_ymm_state;
    if (avx_saved && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
        support.avx2 = (ebx & bit_AVX2) != 0;
    }
    return support;
}

[[gnu::target("avx2")]] std::uint64_t horizontal_sum(__m256i lanes) {
    alignas(32) std::uint32_t parts[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), lanes);
    std::uint64_t total = 0;
    for (std::uint32_t part : parts) {
        total += part;
    }
    return total;
}

[[gnu::target("ssse3")]] std::uint64_t horizontal_sum(__m128i lanes) {
    alignas(16) std::uint32_t parts[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(parts), lanes);
    return static_cast<std::uint64_t>(parts[0]) + parts[1] + parts[2] + parts[3];
}

}  // namespace

// 32 bytes a step. Per step: the sum of the bytes so far goes into `prefix` (it counts 32
// times for every later step), the bytes' own sum into `bytes`, and their sum weighted
// 32, 31, ... 1 into `weighted`. The lanes stay below 2^32 within a block of 5536 bytes.
[[gnu::target("avx2")]] std::uint32_t checksum_avx2(std::uint32_t value, const unsigned char* data,
                                                    std::size_t length) {
    constexpr std::size_t step = 32;
    constexpr std::size_t block = block_length / step * step;
    std::uint32_t s1 = value & 0xffff;
    std::uint32_t s2 = (value >> 16) & 0xffff;
    const __m256i weights =
        _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                         13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i zero = _mm256_setzero_si256();
    while (length >= step) {
        const std::size_t run = (length < block ? length : block) / step * step;
        __m256i bytes = zero, prefix = zero, weighted = zero;
        for (std::size_t at = 0; at < run; at += step) {
            const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
            prefix = _mm256_add_epi32(prefix, bytes);
            bytes = _mm256_add_epi32(bytes, _mm256_sad_epu8(chunk, zero));
            weighted = _mm256_add_epi32(
                weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(chunk, weights), ones));
        }
        fold(s1, s2, horizontal_sum(bytes),
             step * horizontal_sum(prefix) + horizontal_sum(weighted), run);
        data += run;
        length -= run;
    }
    add_bytes(s1, s2, data, length);
    return combine(s1 % modulus, s2 % modulus);
}

// As the AVX2 path, 16 bytes a step.
[[gnu::target("ssse3")]] std::uint32_t
checksum_ssse3(std::uint32_t value, const unsigned char* data, std::size_t length) {
    constexpr std::size_t step = 16;
    constexpr std::size_t block = block_length / step * step;
    std::uint32_t s1 = value & 0xffff;
    std::uint32_t s2 = (value >> 16) & 0xffff;
    const __m128i weights = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i zero = _mm_setzero_si128();
    while (length >= step) {
        const std::size_t run = (length < block ? length : block) / step * step;
        __m128i bytes = zero, prefix = zero, weighted = zero;
        for (std::size_t at = 0; at < run; at += step) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
            prefix = _mm_add_epi32(prefix, bytes);
            bytes = _mm_add_epi32(bytes, _mm_sad_epu8(chunk, zero));
            weighted =
                _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(chunk, weights), ones));
        }
        fold(s1, s2, horizontal_sum(bytes),
             step * horizontal_sum(prefix) + horizontal_sum(weighted), run);
        data += run;
        length -= run;
    }
    add_bytes(s1, s2, data, length);
    return combine(s1 % modulus, s2 % modulus);
}

std::size_t add_vector_checksum_paths(named_checksum_path* paths, std::size_t count,
                                      std::size_t capacity) {
    const auto add = [&](const char* name, checksum_path update) {
        if (count < capacity) {
            paths[count++] = {name, update};
        }
    };
    const vector_support support = processor_support();
    if (support.ssse3) {
        add("ssse3", checksum_ssse3);
    }
    if (support.avx2) {
        add("avx2", checksum_avx2);
    }
    return count;
}
