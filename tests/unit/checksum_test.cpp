// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/checksum.hpp"
#include "transfer/checksum_paths.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#if defined(FERROX_HAVE_ZLIB)
#include <zlib.h>
#endif

#include <gtest/gtest.h>

namespace {

#if defined(FERROX_HAVE_ZLIB)
unsigned long zlib_value(const std::vector<unsigned char>& data) {
    return adler32(adler32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size()));
}
#else
// Where the target has no zlib (a cross build): Adler-32 by its definition, one byte and one
// reduction at a time.
unsigned long zlib_value(const std::vector<unsigned char>& data) {
    unsigned long s1 = 1, s2 = 0;
    for (const unsigned char byte : data) {
        s1 = (s1 + byte) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    return (s2 << 16) | s1;
}
#endif

std::vector<unsigned char> random_data(std::size_t length, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> data(length);
    for (auto& byte : data) {
        byte = static_cast<unsigned char>(generator());
    }
    return data;
}

unsigned long in_one_update(const std::vector<unsigned char>& data) {
    return checksum_update(1, data.data(), static_cast<std::int32_t>(data.size()));
}

TEST(checksum_update, abc_gives_the_worked_value) {
    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(checksum_update(1, abc, 3), 38600999UL);
}

TEST(checksum_update, null_buffer_gives_the_start_value_and_zero_length_keeps_the_value) {
    EXPECT_EQ(checksum_update(12345, nullptr, 10), 1UL);
    const unsigned char byte = 7;
    EXPECT_EQ(checksum_update(38600999, &byte, 0), 38600999UL);
}

TEST(checksum_update, agrees_with_zlib_around_the_block_length_and_on_all_ones) {
    for (std::size_t length : {1, 15, 16, 17, 5551, 5552, 5553, 11104, 11105, 65536, 1000003}) {
        const auto data = random_data(length, static_cast<std::uint32_t>(length));
        EXPECT_EQ(in_one_update(data), zlib_value(data)) << "length " << length;
        const std::vector<unsigned char> ones(length, 0xff);
        EXPECT_EQ(in_one_update(ones), zlib_value(ones)) << "0xff length " << length;
    }
}

TEST(checksum_update, gives_the_same_value_however_the_stream_is_cut) {
    const auto data = random_data(200000, 42);
    const unsigned long expected = zlib_value(data);
    std::mt19937 generator(7);
    for (int trial = 0; trial < 50; ++trial) {
        unsigned long value = 1;
        std::size_t at = 0;
        while (at < data.size()) {
            const std::size_t piece =
                std::min<std::size_t>(data.size() - at, 1 + generator() % 70000);
            value = checksum_update(value, data.data() + at, static_cast<std::int32_t>(piece));
            at += piece;
        }
        ASSERT_EQ(value, expected) << "trial " << trial;
    }
}

std::vector<named_checksum_path> paths() {
    named_checksum_path found[8];
    const std::size_t count = supported_checksum_paths(found, 8);
    return {found, found + count};
}

// An architecture with a vector path offers it: NEON on every ARM64 processor.
TEST(checksum_paths, arm64_offers_its_vector_path) {
#if !defined(__aarch64__)
    GTEST_SKIP() << "not an ARM64 build";
#endif
    const auto offered = paths();
    ASSERT_EQ(offered.size(), 2U);
    EXPECT_STREQ(offered.back().name, "neon");
}

// The x86-64 paths follow what the processor and the system allow, as Linux's /proc/cpuinfo
// reports them (the kernel leaves out avx2 where it doesn't save the AVX registers):
// SSSE3 and AVX2 each offered exactly where its flag is listed, slowest first.
TEST(checksum_paths, x86_64_offers_what_the_processor_and_system_report) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "not an x86-64 build";
#endif
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    std::vector<std::string> flags;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            flags.assign(std::istream_iterator<std::string>(words), {});
            break;
        }
    }
    if (flags.empty()) {
        GTEST_SKIP() << "no flags line in /proc/cpuinfo";
    }
    const auto listed = [&](const char* flag) {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    };
    std::vector<std::string> expected{"portable"};
    for (const char* flag : {"ssse3", "avx2"}) {
        if (listed(flag)) {
            expected.emplace_back(flag);
        }
    }
    std::vector<std::string> offered;
    for (const auto& path : paths()) {
        offered.emplace_back(path.name);
    }
    EXPECT_EQ(offered, expected);
}

// Every other architecture (32-bit ARM, x86-32, s390x, ...) takes the portable loop alone:
// a vector path is built only for the processors it was written for.
TEST(checksum_paths, other_architectures_take_the_portable_path_alone) {
#if defined(__x86_64__) || defined(__aarch64__)
    GTEST_SKIP() << "an architecture with vector paths";
#endif
    const auto offered = paths();
    ASSERT_EQ(offered.size(), 1U);
    EXPECT_STREQ(offered.front().name, "portable");
}

// Every path the processor supports gives zlib's values, on every length and however the
// stream is cut; a vector path's tail and block edges are where it could go wrong.
TEST(checksum_paths, every_supported_path_agrees_with_zlib) {
    const auto data = random_data(300000, 99);
    const std::vector<unsigned char> ones(70000, 0xff);
    std::mt19937 generator(3);
    for (const auto& path : paths()) {
        for (std::size_t length = 0; length < 200; ++length) {
            const std::vector<unsigned char> piece(data.begin(),
                                                   data.begin() + static_cast<long>(length));
            ASSERT_EQ(path.update(1, data.data(), length), zlib_value(piece))
                << path.name << " length " << length;
        }
        for (std::size_t length : {5535, 5536, 5537, 5552, 5553, 11072, 65536, 300000}) {
            const std::vector<unsigned char> piece(data.begin(),
                                                   data.begin() + static_cast<long>(length));
            EXPECT_EQ(path.update(1, piece.data(), length), zlib_value(piece))
                << path.name << " length " << length;
        }
        EXPECT_EQ(path.update(1, ones.data(), ones.size()), zlib_value(ones)) << path.name;
        for (int trial = 0; trial < 20; ++trial) {
            std::uint32_t value = 1;
            for (std::size_t at = 0; at < data.size();) {
                const std::size_t piece =
                    std::min<std::size_t>(data.size() - at, generator() % 9000);
                value = path.update(value, data.data() + at, piece);
                at += piece;
            }
            ASSERT_EQ(value, zlib_value(data)) << path.name << " trial " << trial;
        }
    }
}

}  // namespace
