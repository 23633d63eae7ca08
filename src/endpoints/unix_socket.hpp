// SPDX-License-Identifier: BSD-2-Clause
// UNIX-domain stream sockets: the connect, listen and accept operations over socket files.
#pragma once

#include "state/run_state.hpp"

#include <cstddef>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>

// The longest socket path: sun_path must hold it with its terminating NUL.
constexpr std::size_t max_socket_path_length = sizeof(sockaddr_un::sun_path) - 1;

// The peer path of an accepted connection, read only within the length accept returned.
[[nodiscard]] std::string_view peer_path(const sockaddr_un& address, socklen_t length);

[[nodiscard]] int unix_connect(descriptor_field* slot, const char* host, const char* path);
[[nodiscard]] int unix_listen(descriptor_field* slot, const char* host, const char* path);
[[nodiscard]] int unix_accept(descriptor_field* slot, int listening_fd);
