// SPDX-License-Identifier: BSD-2-Clause
#include "state/alloc.hpp"

#include "state/run_state.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {

[[noreturn]] void die_out_of_memory() {
    // Direct writes: stdio may itself need memory to format a message. A progress line on
    // standard error is ended first, so that the message stands on a line of its own.
    constexpr char message[] = "out of memory\n";
    std::fflush(stderr);
    if (run_state.progress_line_open != 0) {
        [[maybe_unused]] auto ended = write(STDERR_FILENO, "\n", 1);
    }
    [[maybe_unused]] auto written = write(STDERR_FILENO, message, sizeof message - 1);
    std::exit(1);
}

}  // namespace

void* alloc_or_die(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        die_out_of_memory();
    }
    return block;
}

char* copy_text_or_die(const char* text, std::size_t length) {
    auto* copy = static_cast<char*>(alloc_or_die(length + 1));
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

void install_out_of_memory_handler() {
    std::set_new_handler(die_out_of_memory);
}

chunk_buffer alloc_chunk_buffer(std::size_t size) {
    return chunk_buffer{static_cast<unsigned char*>(alloc_or_die(size))};
}
