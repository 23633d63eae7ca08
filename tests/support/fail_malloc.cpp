// SPDX-License-Identifier: BSD-2-Clause
// A preloaded library for one end-to-end test: refuses every malloc of exactly
// FERROX_TEST_FAIL_MALLOC_SIZE bytes, so ferrox's handling of exhausted memory can be seen
// on the real binary. Kept apart from fail_calls because a sanitizer's allocator can't be
// replaced this way.
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" void* __libc_malloc(std::size_t size);

// glibc's own allocator serves everything else; asking dlsym for the next malloc would
// allocate in turn.
extern "C" void* malloc(std::size_t size) {
    static const char* refused_size = std::getenv("FERROX_TEST_FAIL_MALLOC_SIZE");
    if (refused_size != nullptr && std::strtoul(refused_size, nullptr, 10) == size) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}
