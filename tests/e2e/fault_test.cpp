// Fault injection: each case provokes one fault and checks that no byte is lost or
// duplicated and that the messages and the exit status tell the truth.
#include "harness.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

std::string port_text(int port) {
    return std::to_string(port);
}

std::string local_host(int port) {
    return "127.0.0.1:" + port_text(port);
}

// Sends `data` until the peer stops taking it; used by peers that keep talking while the
// other side of the transfer ends.
void send_until_refused(int fd, const std::atomic<bool>& stop) {
    const std::string chunk(16384, 'z');
    while (!stop) {
        if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) {
            return;
        }
    }
}

// A side ends while the other still sends: everything ferrox has already passed on to the
// first side's peer must arrive, not be thrown away by a reset.
TEST(fault_close, bytes_passed_on_arrive_while_the_other_side_keeps_sending_relay) {
    for (int round = 0; round < 3; ++round) {
        temp_dir dir;
        const std::string payload = random_bytes(200000, 50 + static_cast<std::uint32_t>(round));
        const int server_port = free_tcp_port();
        const int server = listen_tcp(server_port);
        const int relay_port = free_tcp_port();
        process relay = start_listener(dir, {"-l", port_text(relay_port), "-h",
                                             local_host(server_port)});
        const int client = connect_tcp(relay_port);
        ASSERT_GE(client, 0);
        const int far = accept_with_deadline(server);
        ASSERT_GE(far, 0);
        std::atomic<bool> stop{false};
        // the client keeps sending and reads nothing until the server has ended
        std::thread chatter([&] { send_until_refused(client, stop); });
        std::thread drain([&] { [[maybe_unused]] auto ignored = receive_all(far, 30s); });
        send_all(far, payload);
        shutdown(far, SHUT_WR);
        std::this_thread::sleep_for(200ms);
        const std::string arrived = receive_exactly(client, payload.size(), 20s);
        stop = true;
        shutdown(client, SHUT_RDWR);
        chatter.join();
        close(far);
        drain.join();
        close(client);
        close(server);
        EXPECT_EQ(relay.wait(20s).status, 0);
        EXPECT_EQ(arrived.size(), payload.size()) << "round " << round;
        EXPECT_TRUE(arrived == payload);
    }
}

TEST(fault_close, bytes_passed_on_arrive_while_the_other_side_keeps_sending_two_way) {
    temp_dir dir;
    const std::string payload = random_bytes(200000, 60);
    const std::string file = dir.file("payload");
    write_file(file, payload);
    // ferrox's standard input holds the payload and then ends; its peer reads and keeps
    // sending all the while.
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_data = payload;
    process client = spawn(dir, {"-i", "-o", "-h", local_host(port)}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    std::atomic<bool> stop{false};
    std::thread chatter([&] { send_until_refused(fd, stop); });
    const std::string arrived = receive_all(fd, 20s);
    EXPECT_EQ(client.wait(20s).status, 0);
    stop = true;
    shutdown(fd, SHUT_RDWR);
    chatter.join();
    close(fd);
    close(server);
    // Standard input, a file, is always readable and is served first, so the whole payload
    // was passed on before the end of standard input ended the transfer.
    EXPECT_EQ(arrived.size(), payload.size());
    EXPECT_TRUE(arrived == payload);
}

} // namespace
