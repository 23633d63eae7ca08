// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/unix_socket.hpp"

#include "endpoints/connection_line.hpp"
#include "endpoints/socket_buffers.hpp"
#include "endpoints/socket_calls.hpp"
#include "state/handled_signals.hpp"
#include "state/run_state.hpp"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Fills `address` with a path, refusing one that sun_path can't hold before copying it, and
// an empty one (Linux would take it for an abstract socket named by NUL bytes).
int fill_address(sockaddr_un* address, const char* path, const char* option) {
    const std::size_t length = std::strlen(path);
    if (length == 0) {
        std::fprintf(stderr, "%s needs a socket path, not an empty one\n", option);
        return -1;
    }
    if (length > max_socket_path_length) {
        std::fprintf(stderr, "socket path too long (%zu characters, at most %zu): %s\n", length,
                     max_socket_path_length, path);
        return -1;
    }
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path, length + 1);
    return 0;
}

int bind_to_path(int fd, const char* path, const char* option) {
    sockaddr_un address{};
    if (fill_address(&address, path, option) != 0) {
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        return -1;
    }
    return 0;
}

int create_socket(descriptor_field* slot) {
    if (socket_into(slot, AF_UNIX) == -1) {
        std::perror("socket");
        return -1;
    }
    return 0;
}

}  // namespace

std::string_view peer_path(const sockaddr_un& address, socklen_t length) {
    const std::size_t offset = offsetof(sockaddr_un, sun_path);
    if (length <= offset) {
        return {};
    }
    std::size_t available = length - offset;
    if (available > sizeof address.sun_path) {
        available = sizeof address.sun_path;
    }
    return {address.sun_path, strnlen(address.sun_path, available)};
}

int unix_connect(descriptor_field* slot, const char* /*host*/, const char* path) {
    if (create_socket(slot) != 0) {
        return -1;
    }
    sockaddr_un remote{};
    if (fill_address(&remote, path, "--unix-host") != 0) {
        return -1;
    }
    if (run_state.bind_port != nullptr &&
        bind_to_path(*slot, run_state.bind_port, "--bind-port") != 0) {
        return -1;
    }
    size_socket_buffers_early(*slot);
    if (connect_through_signals(*slot, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        std::perror("connect");
        return -1;
    }
    announce_connection("connected to unix:%s.\n", path);
    tune_socket_buffers(slot);
    return 0;
}

int unix_listen(descriptor_field* slot, const char* /*host*/, const char* path) {
    if (create_socket(slot) != 0) {
        return -1;
    }
    // Held back, no SIGTERM can end the run between the file's creation and its mark as ours.
    const sigset_t previous = block_handled_signals();
    const int bound = bind_to_path(*slot, path, "--unix-listen");
    if (bound == 0) {
        run_state.socket_file = path;
    }
    restore_signal_mask(previous);
    if (bound != 0) {
        return -1;
    }
    size_socket_buffers_early(*slot);
    if (listen_for_peers(*slot) != 0) {
        std::perror("listen");
        return -1;
    }
    announce_connection("listening on unix:%s.\n", path);
    return 0;
}

int unix_accept(descriptor_field* slot, int listening_fd) {
    sockaddr_un peer{};
    socklen_t length = sizeof peer;
    if (accept_into(slot, listening_fd, reinterpret_cast<sockaddr*>(&peer), &length) == -1) {
        std::perror("accept");
        return -1;
    }
    const std::string_view path = peer_path(peer, length);
    announce_connection("connection from unix:%.*s.\n", static_cast<int>(path.size()), path.data());
    tune_socket_buffers(slot);
    return 0;
}
