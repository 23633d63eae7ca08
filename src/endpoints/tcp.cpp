// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/tcp.hpp"

#include "driver/run_state.hpp"
#include "endpoints/connection_line.hpp"
#include "endpoints/socket_buffers.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The low 16 bits of the number, in network byte order. strtol rather than atoi keeps a
// number too large for an int defined.
std::uint16_t numeric_port(const char* text) {
    return htons(static_cast<std::uint16_t>(std::strtol(text, nullptr, 10)));
}

// Binds a connecting socket to --bind-port: "port" alone on every local address, or
// "address:port" with a dotted address.
int bind_local_address(int fd, const char* bind_value) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    const char* port_part = bind_value;
    if (const char* colon = std::strchr(bind_value, ':')) {
        const std::string address_part(bind_value, colon);
        if (inet_aton(address_part.c_str(), &local.sin_addr) == 0) {
            std::fprintf(stderr, "can't decipher ipaddr: %s\n", address_part.c_str());
            return -1;
        }
        port_part = colon + 1;
    }
    local.sin_port = service_port(port_part);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bind");
        return -1;
    }
    return 0;
}

void set_listener_option(int fd, int option, const void* value, socklen_t length,
                         const char* label) {
    if (setsockopt(fd, SOL_SOCKET, option, value, length) != 0) {
        std::perror(label);
    }
}

// A chunk of 64 KiB is one full loopback segment and a 53-byte tail; Nagle's algorithm holds
// that tail back until the peer acknowledges, which halves loopback throughput at the default
// chunk size. Every write here is a whole chunk, so nothing is gained by holding it.
void send_chunks_at_once(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

std::uint16_t service_port(const char* text) {
    if (const servent* entry = getservbyname(text, "tcp")) {
        return static_cast<std::uint16_t>(entry->s_port);
    }
    return numeric_port(text);
}

int tcp_connect(int* slot, const char* host, const char* port) {
    *slot = socket(AF_INET, SOCK_STREAM, 0);
    if (*slot == -1) {
        std::perror("socket");
        return -1;
    }
    const hostent* entry = gethostbyname(host);
    if (entry == nullptr) {
        herror("gethostbyname");
        std::exit(2);
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    std::memcpy(&remote.sin_addr, entry->h_addr_list[0], sizeof remote.sin_addr);
    remote.sin_port = service_port(port);
    if (run_state.bind_port != nullptr && bind_local_address(*slot, run_state.bind_port) != 0) {
        return -1;
    }
    size_socket_buffers_early(*slot);
    if (connect(*slot, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        std::perror("connect");
        return -1;
    }
    announce_connection("connected to %s (%s) on port %d.\n", host, inet_ntoa(remote.sin_addr),
                        ntohs(remote.sin_port));
    tune_socket_buffers(slot);
    send_chunks_at_once(*slot);
    return 0;
}

int tcp_listen(int* slot, const char* /*host*/, const char* port) {
    *slot = socket(AF_INET, SOCK_STREAM, 0);
    if (*slot == -1) {
        std::perror("socket");
        return -1;
    }
    const int reuse = 1;
    set_listener_option(*slot, SO_REUSEADDR, &reuse, sizeof reuse, "setsockopt:SO_REUSEADDR");
    // Accepted sockets inherit this: closing one waits until its queued data has gone out.
    const linger wait_for_queued_data{1, 10000};
    set_listener_option(*slot, SO_LINGER, &wait_for_queued_data, sizeof wait_for_queued_data,
                        "setsockopt:SO_LINGER");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = numeric_port(port);
    if (bind(*slot, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        return -1;
    }
    size_socket_buffers_early(*slot);
    if (listen(*slot, 1) != 0) {
        std::perror("listen");
        return -1;
    }
    // The port the kernel gave: the one asked for, or a free one for port 0 (which is also
    // what a name that is neither a number nor a service comes to).
    socklen_t length = sizeof address;
    getsockname(*slot, reinterpret_cast<sockaddr*>(&address), &length);
    announce_on_stderr("listening on %s port %d.\n", inet_ntoa(address.sin_addr),
                       ntohs(address.sin_port));
    return 0;
}

int tcp_accept(int* slot, int listening_fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    *slot = accept(listening_fd, reinterpret_cast<sockaddr*>(&peer), &length);
    if (*slot == -1) {
        std::perror("accept");
        return -1;
    }
    announce_connection("connection from %s on port %d.\n", inet_ntoa(peer.sin_addr),
                        ntohs(peer.sin_port));
    tune_socket_buffers(slot);
    send_chunks_at_once(*slot);
    return 0;
}
