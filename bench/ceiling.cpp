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

sockaddr_un unix_address(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    return address;
}

sockaddr_in loopback_address(const char* port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int accepted(const char* where) {
    const bool local = is_path(where);
    const int server = socket(local ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
    int bound = -1;
    if (local) {
        const sockaddr_un address = unix_address(where);
        bound = bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        const int one = 1;
        setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in address = loopback_address(where);
        bound = bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    if (server < 0 || bound != 0 || listen(server, 1) != 0) {
        die("listen");
    }
    const int connection = accept(server, nullptr, nullptr);
    if (connection < 0) {
        die("accept");
    }
    close(server);
    if (local) {
        unlink(where);
    }
    return connection;
}

int connected(const char* where) {
    const bool local = is_path(where);
    const int connection = socket(local ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
    int done = -1;
    if (local) {
        const sockaddr_un address = unix_address(where);
        done = connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        const sockaddr_in address = loopback_address(where);
        done = connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    if (connection < 0 || done != 0) {
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
