// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

// Allocation that never returns null: when memory is exhausted it writes "out of memory"
// to standard error and ends the process with status 1. The block is released with
// std::free.
[[nodiscard]] void* alloc_or_die(std::size_t size);

// A heap copy of `text`, obtained through alloc_or_die.
[[nodiscard]] char* copy_text_or_die(const char* text, std::size_t length);

// Routes failed operator new through the same message and exit status.
void install_out_of_memory_handler();

struct free_deleter {
    void operator()(void* block) const {
        std::free(block);
    }
};

// The chunk buffer of one copy or relay call, of `size` bytes, released when the call
// returns.
using chunk_buffer = std::unique_ptr<unsigned char[], free_deleter>;
[[nodiscard]] chunk_buffer alloc_chunk_buffer(std::size_t size);
