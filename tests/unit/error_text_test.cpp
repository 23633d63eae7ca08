// SPDX-License-Identifier: BSD-2-Clause
#include "platform/platform.hpp"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// The line that a signal handler writes for a failed call reads as perror's would: for every
// error number, the text that the C library's strerror gives (in the C locale, which the
// tests run in). glibc's text for a number it doesn't know carries the number, which a
// handler can't format; there the text may be "Unknown error" alone. musl's table in
// error_text_musl.cpp is checked row by row here, in the static build's unit tests.
TEST(error_text_signal_safe, reads_as_strerror_for_every_error_number) {
    int known = 0;
    for (int error = 0; error < 256; ++error) {
        const std::string library = std::strerror(error);
        const char* ours = error_text_signal_safe(error);
        ASSERT_NE(ours, nullptr) << "error " << error;
        if (library.rfind("Unknown error", 0) == 0) {
            EXPECT_EQ(std::string(ours).rfind("Unknown error", 0), 0U) << "error " << error;
            continue;
        }
        EXPECT_EQ(ours, library) << "error " << error;
        ++known;
    }
    EXPECT_GT(known, 80);  // the usual errors are all there, not just a few
}

}  // namespace
