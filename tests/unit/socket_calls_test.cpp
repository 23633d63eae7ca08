// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/socket_calls.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {

// A loopback listener with one client already queued on it.
struct queued_peer {
    int listener = -1;
    int client = -1;
    queued_peer() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener: " << std::strerror(errno);
            return;
        }
        client = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            ADD_FAILURE() << "no connection: " << std::strerror(errno);
        }
    }
    ~queued_peer() {
        close(client);
        close(listener);
    }
    queued_peer(const queued_peer&) = delete;
    queued_peer& operator=(const queued_peer&) = delete;
};

// The interrupt handler closes what the descriptor fields name. A peer accepted while it ran
// (the flag already set, the field not yet written) is closed at once instead of being
// named afterwards and served as if nothing had happened.
TEST(accept_into, a_peer_accepted_after_an_interrupt_is_closed_and_not_named) {
    for (const bool interrupted : {false, true}) {
        queued_peer peer;
        descriptor_field slot = -1;
        interrupt_seen = interrupted ? 1 : 0;
        const int fd = accept_into(&slot, peer.listener, nullptr, nullptr);
        const int error = errno;
        interrupt_seen = 0;
        char byte = 0;
        if (interrupted) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(error, EINTR);
            EXPECT_EQ(slot, -1) << "the field names no socket";
            EXPECT_EQ(recv(peer.client, &byte, 1, 0), 0) << "the peer sees its connection end";
        } else {
            ASSERT_GE(fd, 0);
            EXPECT_EQ(slot, fd);
            EXPECT_EQ(send(fd, "x", 1, 0), 1);
            EXPECT_EQ(recv(peer.client, &byte, 1, 0), 1);
            close(fd);
        }
    }
}

}  // namespace
