// SPDX-License-Identifier: BSD-2-Clause
// What a descriptor is and what a socket has to tell, asked the same way on every system.
#pragma once

#include <cstdint>

enum class descriptor_type : std::uint8_t {
    unknown,  // fstat failed: the first call on it fails and says why
    regular_file,
    socket,
    pipe,
    character_device,  // a terminal, /dev/null, ...
    other,             // a directory, a block device, ...
};

// The one place that asks fstat what a descriptor is.
[[nodiscard]] descriptor_type type_of_descriptor(int fd);

[[nodiscard]] inline bool is_socket(int fd) {
    return type_of_descriptor(fd) == descriptor_type::socket;
}

[[nodiscard]] inline bool is_regular_file(int fd) {
    return type_of_descriptor(fd) == descriptor_type::regular_file;
}

// The access mode `fd` was opened with: O_RDONLY, O_WRONLY or O_RDWR; -1 where the system
// won't say (the first call on it fails and says why).
[[nodiscard]] int access_mode_of(int fd);

// The error waiting on a socket (SO_ERROR): a reset, a refused connection. 0 when there is
// none, or when the system won't say (the next call on the socket tells).
[[nodiscard]] int pending_socket_error(int fd);
