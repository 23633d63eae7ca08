// SPDX-License-Identifier: BSD-2-Clause
// Minimal movers that set the ceilings of the throughput benchmark: each does one thing with
// blocking calls and nothing else, compiled like ferrox so that the comparison is between
// ways of moving bytes, not between languages. WHERE is a TCP port on 127.0.0.1, or a
// UNIX-domain socket's path (anything with a slash).
//
//   ceiling recv-rw WHERE              read/write with a 1 MiB buffer, socket -> standard output
//   ceiling recv-splice WHERE          splice socket -> a 1 MiB pipe -> standard output
//   ceiling send-rw WHERE FILE         read/write with a 1 MiB buffer, file -> socket
//   ceiling send-splice WHERE FILE     sendfile, 1 MiB a call, file -> socket
//   ceiling relay PORT TARGET_PORT     poll relay with a 256 KiB buffer per direction
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t mib = std::size_t{1} << 20;
constexpr std::size_t relay_move = std::size_t{256} << 10;

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

bool is_path(std::string_view where) {
    return where.find('/') != std::string_view::npos;
}

// A socket file's path, or a TCP port on 127.0.0.1.
struct socket_address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    bool local = false;
    [[nodiscard]] const sockaddr* get() const {
        return reinterpret_cast<const sockaddr*>(&storage);
    }
};

socket_address address_of(const char* where) {
    socket_address address;
    address.local = is_path(where);
    if (address.local) {
        auto* unix_socket = reinterpret_cast<sockaddr_un*>(&address.storage);
        unix_socket->sun_family = AF_UNIX;
        std::strncpy(unix_socket->sun_path, where, sizeof unix_socket->sun_path - 1);
        address.length = sizeof(sockaddr_un);
    } else {
        auto* tcp = reinterpret_cast<sockaddr_in*>(&address.storage);
        tcp->sin_family = AF_INET;
        tcp->sin_port = htons(static_cast<std::uint16_t>(std::atoi(where)));
        tcp->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.length = sizeof(sockaddr_in);
    }
    return address;
}

int accepted(const char* where) {
    const socket_address address = address_of(where);
    const int server = socket(address.storage.ss_family, SOCK_STREAM, 0);
    const int one = 1;
    if (!address.local) {
        setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (server < 0 || bind(server, address.get(), address.length) != 0 || listen(server, 1) != 0) {
        die("listen");
    }
    const int connection = accept(server, nullptr, nullptr);
    if (connection < 0) {
        die("accept");
    }
    close(server);
    if (address.local) {
        unlink(where);
    }
    return connection;
}

int connected(const char* where) {
    const socket_address address = address_of(where);
    const int connection = socket(address.storage.ss_family, SOCK_STREAM, 0);
    if (connection < 0 || connect(connection, address.get(), address.length) != 0) {
        die("connect");
    }
    return connection;
}

void write_all(int to, const unsigned char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(to, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            die("write");
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

void copy_rw(int from, int to) {
    std::vector<unsigned char> buffer(mib);
    for (;;) {
        const ssize_t got = read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            die("read");
        }
        if (got == 0) {
            return;
        }
        write_all(to, buffer.data(), static_cast<std::size_t>(got));
    }
}

void splice_through_pipe(int from, int to) {
    int ends[2];
    if (pipe(ends) != 0) {
        die("pipe");
    }
    if (fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(mib)) < 0) {
        die("F_SETPIPE_SZ");  // a smaller pipe would be no ceiling
    }
    for (;;) {
        ssize_t moved = splice(from, nullptr, ends[1], nullptr, mib, SPLICE_F_MOVE);
        if (moved < 0) {
            die("splice");
        }
        if (moved == 0) {
            return;
        }
        while (moved > 0) {
            const ssize_t out = splice(ends[0], nullptr, to, nullptr,
                                       static_cast<std::size_t>(moved), SPLICE_F_MOVE);
            if (out <= 0) {
                die("splice");
            }
            moved -= out;
        }
    }
}

void send_file(int from, int to) {
    for (;;) {
        const ssize_t sent = sendfile(to, from, nullptr, mib);
        if (sent < 0) {
            die("sendfile");
        }
        if (sent == 0) {
            return;
        }
    }
}

void relay(const char* port, const char* target_port) {
    const int near = accepted(port);
    const int far = connected(target_port);
    std::vector<unsigned char> buffer(relay_move);
    pollfd watched[] = {{near, POLLIN, 0}, {far, POLLIN, 0}};
    for (;;) {
        if (poll(watched, 2, -1) < 0) {
            die("poll");
        }
        for (const pollfd& side : watched) {
            if (side.revents == 0) {
                continue;
            }
            const ssize_t got = read(side.fd, buffer.data(), buffer.size());
            if (got <= 0) {
                return;
            }
            write_all(side.fd == near ? far : near, buffer.data(), static_cast<std::size_t>(got));
        }
    }
}

int file_to_read(const char* path) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
        die(path);
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 2 ? argv[1] : "";
    if (mode == "recv-rw" || mode == "recv-splice") {
        const int connection = accepted(argv[2]);
        mode == "recv-rw" ? copy_rw(connection, STDOUT_FILENO)
                          : splice_through_pipe(connection, STDOUT_FILENO);
    } else if ((mode == "send-rw" || mode == "send-splice") && argc > 3) {
        const int file = file_to_read(argv[3]);
        const int connection = connected(argv[2]);
        mode == "send-rw" ? copy_rw(file, connection) : send_file(file, connection);
    } else if (mode == "relay" && argc > 3) {
        relay(argv[2], argv[3]);
    } else {
        std::fputs("usage: ceiling recv-rw|recv-splice WHERE | send-rw|send-splice WHERE FILE |"
                   " relay PORT TARGET_PORT\n",
                   stderr);
        return 2;
    }
    return 0;
}
