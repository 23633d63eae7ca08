#pragma once

#include <cstddef>

// Allocation that never returns null: when memory is exhausted it writes "out of memory"
// to standard error and ends the process with status 1. The block is released with
// std::free.
[[nodiscard]] void* alloc_or_die(std::size_t size);

// A heap copy of `text`, obtained through alloc_or_die.
[[nodiscard]] char* copy_text_or_die(const char* text, std::size_t length);

// Routes failed operator new through the same message and exit status.
void install_out_of_memory_handler();
