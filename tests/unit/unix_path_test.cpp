// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/unix_socket.hpp"

#include <cstring>
#include <gtest/gtest.h>

namespace {

TEST(peer_path, reads_only_within_the_returned_length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memset(address.sun_path, 'x', sizeof address.sun_path);  // no NUL anywhere
    const auto offset = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path));
    EXPECT_EQ(peer_path(address, offset + 5), "xxxxx");
    EXPECT_EQ(peer_path(address, sizeof address).size(), sizeof address.sun_path);
    EXPECT_EQ(peer_path(address, offset), "");  // an unbound peer
    EXPECT_EQ(peer_path(address, 0), "");
}

TEST(peer_path, stops_at_the_terminating_nul) {
    sockaddr_un address{};
    std::strcpy(address.sun_path, "/tmp/peer");
    EXPECT_EQ(peer_path(address, sizeof address), "/tmp/peer");
}

}  // namespace
