// SPDX-License-Identifier: BSD-2-Clause
// Shared by the fuzz targets: a fresh run_state per input, and a property check that stops
// the fuzzer with a clear message.
#pragma once

#include "state/run_state.hpp"
#include "support/reset_run_state.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// The input up to its first NUL, as a command-line word.
inline std::string as_word(const unsigned char* data, std::size_t size) {
    std::string word(reinterpret_cast<const char*>(data), size);
    return word.substr(0, word.find('\0'));
}
