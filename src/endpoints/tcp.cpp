// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/tcp.hpp"

#include "cmdline/address_forms.hpp"
#include "endpoints/connection_line.hpp"
#include "endpoints/ip_address.hpp"
#include "endpoints/socket_buffers.hpp"
#include "endpoints/socket_calls.hpp"
#include "state/run_state.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The port of a number text, in network byte order; a number outside 0 to 65535 is reported
// rather than wrapped round to another port.
std::optional<std::uint16_t> numeric_port(const char* text) {
    const std::optional<std::uint16_t> number = port_number(text);
    if (!number) {
        std::fprintf(stderr, "port out of range: %s (a port is 0 to 65535)\n", text);
        return std::nullopt;
    }
    return htons(*number);
}

// The address inside brackets, or a report of what is wrong with it.
int read_bracketed_address(std::string_view text, ip_address* address) {
    const std::string shown(text);
    switch (read_ipv6_literal(text, address)) {
    case literal_result::read: return 0;
    case literal_result::not_an_address:
        std::fprintf(stderr, "can't decipher ipaddr: %s\n", shown.c_str());
        return -1;
    case literal_result::unknown_zone:
        std::fprintf(stderr, "unknown zone in ipaddr: %s\n", shown.c_str());
        return -1;
    }
    return -1;
}

// The family that --bind-port names: IPv6 in brackets, IPv4 before a colon, none for a
// port alone (which binds every local address of whatever family the connection has).
int bind_family(const char* bind_value) {
    if (bind_value == nullptr) {
        return AF_UNSPEC;
    }
    if (bind_value[0] == '[') {
        return AF_INET6;
    }
    return std::strchr(bind_value, ':') != nullptr ? AF_INET : AF_UNSPEC;
}

// The local address of --bind-port: "port" on every local address of `family`,
// "address:port" with a dotted address, or "[address]:port" ("[address]" for any port).
int read_local_address(const char* bind_value, int family, ip_address* local) {
    const bracketed_text bracketed = read_brackets(bind_value);
    const char* port_part = bind_value;
    if (bracketed.form != bracket_form::none) {
        if (report_bad_brackets(bracketed, bind_value, false) ||
            read_bracketed_address(bracketed.address, local) != 0) {
            return -1;
        }
        port_part = bracketed.port ? bracketed.port->data() : "";
    } else if (const char* colon = std::strchr(bind_value, ':')) {
        const std::string address_part(bind_value, colon);
        *local = any_address(AF_INET);
        if (inet_aton(address_part.c_str(), &local->v4.sin_addr) == 0) {
            std::fprintf(stderr, "can't decipher ipaddr: %s\n", address_part.c_str());
            return -1;
        }
        port_part = colon + 1;
    } else {
        *local = any_address(family);
    }
    const std::optional<std::uint16_t> port = service_port(port_part);
    if (!port) {
        return -1;
    }
    set_port(*local, *port);
    return 0;
}

// The remote address of a --host text: an IPv6 address in brackets, or a name or dotted
// address, resolved in the family that --bind-port names. An IPv4 address is taken as it is
// whatever that family, so that a bind of the other one can be refused as such.
// Ends the process with status 2 when a name can't be resolved.
int read_remote_address(const char* host, ip_address* remote) {
    const bracketed_text bracketed = read_brackets(host);
    if (bracketed.form != bracket_form::none) {
        return report_bad_brackets(bracketed, host, false)
                   ? -1
                   : read_bracketed_address(bracketed.address, remote);
    }
    const int family = is_ipv4_literal(host) ? AF_INET : bind_family(run_state.bind_port);
    if (resolve_host(host, family, remote) != 0) {
        std::exit(2);
    }
    return 0;
}

// A name that has no IPv4 address is reached over IPv6: the socket made for IPv4 gives way to
// one of that family.
int reopen_socket(descriptor_field* slot, int family) {
    const int old = *slot;
    if (socket_into(slot, family) == -1) {
        std::perror("socket");
        return -1;
    }
    close(old);
    return 0;
}

int bind_to(int fd, const ip_address& local) {
    if (bind(fd, &local.any, length_of(local)) != 0) {
        std::perror("bind");
        return -1;
    }
    return 0;
}

void set_listener_option(int fd, int level, int option, const void* value, socklen_t length,
                         const char* label) {
    if (setsockopt(fd, level, option, value, length) != 0) {
        std::perror(label);
    }
}

// The listening address: every IPv4 address for a port alone (a text without brackets is
// read as a number, as it always was), or "[address]:port".
int read_listening_address(const char* text, ip_address* address) {
    const bracketed_text bracketed = read_brackets(text);
    if (bracketed.form == bracket_form::none) {
        *address = any_address(AF_INET);
    } else if (report_bad_brackets(bracketed, text, true) ||
               read_bracketed_address(bracketed.address, address) != 0) {
        return -1;
    }
    const std::optional<std::uint16_t> port =
        numeric_port(bracketed.port ? bracketed.port->data() : text);
    if (!port) {
        return -1;
    }
    set_port(*address, *port);
    return 0;
}

// The host as the connection line names it: without the brackets of an IPv6 address.
std::string host_without_brackets(const char* host) {
    const bracketed_text bracketed = read_brackets(host);
    return std::string(bracketed.form == bracket_form::closed ? bracketed.address : host);
}

// A chunk of 64 KiB is one full loopback segment and a 53-byte tail; Nagle's algorithm holds
// that tail back until the peer acknowledges, which halves loopback throughput at the default
// chunk size. Every write here is a whole chunk, so nothing is gained by holding it.
void send_chunks_at_once(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

std::optional<std::uint16_t> service_port(const char* text) {
    if (const servent* entry = getservbyname(text, "tcp")) {
        return static_cast<std::uint16_t>(entry->s_port);
    }
    return numeric_port(text);
}

int tcp_connect(descriptor_field* slot, const char* host, const char* port) {
    // The family the texts name; a name is only known to have no IPv4 address once looked up.
    const bool ipv6_named = host[0] == '[' || bind_family(run_state.bind_port) == AF_INET6;
    int socket_family = ipv6_named ? AF_INET6 : AF_INET;
    if (socket_into(slot, socket_family) == -1) {
        std::perror("socket");
        return -1;
    }
    ip_address remote{};
    if (read_remote_address(host, &remote) != 0) {
        return -1;
    }
    const std::optional<std::uint16_t> remote_port = service_port(port);
    if (!remote_port) {
        return -1;
    }
    set_port(remote, *remote_port);
    ip_address local{};
    if (run_state.bind_port != nullptr) {
        if (read_local_address(run_state.bind_port, family_of(remote), &local) != 0) {
            return -1;
        }
        if (family_of(local) != family_of(remote)) {
            std::fprintf(stderr,
                         "can't bind %s for a connection to %s: one is IPv4, the other IPv6\n",
                         address_text(local).c_str(), address_text(remote).c_str());
            return -1;
        }
    }
    if (family_of(remote) != socket_family) {
        socket_family = family_of(remote);
        if (reopen_socket(slot, socket_family) != 0) {
            return -1;
        }
    }
    if (run_state.bind_port != nullptr && bind_to(*slot, local) != 0) {
        return -1;
    }
    size_socket_buffers_early(*slot);
    if (connect_through_signals(*slot, &remote.any, length_of(remote)) != 0) {
        std::perror("connect");
        return -1;
    }
    announce_connection("connected to %s (%s) on port %d.\n", host_without_brackets(host).c_str(),
                        address_text(remote).c_str(), port_of(remote));
    tune_socket_buffers(slot);
    send_chunks_at_once(*slot);
    return 0;
}

int tcp_listen(descriptor_field* slot, const char* /*host*/, const char* port) {
    const int family = port[0] == '[' ? AF_INET6 : AF_INET;
    if (socket_into(slot, family) == -1) {
        std::perror("socket");
        return -1;
    }
    const int reuse = 1;
    set_listener_option(*slot, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse,
                        "setsockopt:SO_REUSEADDR");
    // Accepted sockets inherit this: closing one waits until its queued data has gone out.
    const linger wait_for_queued_data{1, 10000};
    set_listener_option(*slot, SOL_SOCKET, SO_LINGER, &wait_for_queued_data,
                        sizeof wait_for_queued_data, "setsockopt:SO_LINGER");
    ip_address address{};
    if (read_listening_address(port, &address) != 0) {
        return -1;
    }
    if (family == AF_INET6) {
        // Said outright, whatever the system's default: "[::]" takes IPv4 peers too.
        const int ipv6_only = 0;
        set_listener_option(*slot, IPPROTO_IPV6, IPV6_V6ONLY, &ipv6_only, sizeof ipv6_only,
                            "setsockopt:IPV6_V6ONLY");
    }
    if (bind_to(*slot, address) != 0) {
        return -1;
    }
    size_socket_buffers_early(*slot);
    if (listen_for_peers(*slot) != 0) {
        std::perror("listen");
        return -1;
    }
    // The port the kernel gave: the one asked for, or a free one for port 0 (which is also
    // what a name that is neither a number nor a service comes to).
    socklen_t length = sizeof address;
    getsockname(*slot, &address.any, &length);
    announce_on_stderr("listening on %s port %d.\n", address_text(address).c_str(),
                       port_of(address));
    return 0;
}

int tcp_accept(descriptor_field* slot, int listening_fd) {
    ip_address peer{};
    socklen_t length = sizeof peer;
    if (accept_into(slot, listening_fd, &peer.any, &length) == -1) {
        std::perror("accept");
        return -1;
    }
    announce_connection("connection from %s on port %d.\n", address_text(peer).c_str(),
                        port_of(peer));
    tune_socket_buffers(slot);
    send_chunks_at_once(*slot);
    return 0;
}
