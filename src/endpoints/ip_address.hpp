// SPDX-License-Identifier: BSD-2-Clause
// The addresses of the TCP endpoints, IPv4 and IPv6: the record that bind, connect and accept
// take, the IPv6 literals of the command line, host names and the text form of the lines.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>

// The IPv6 record comes first: it is the largest, so that {} zeroes the whole of it.
union ip_address {
    sockaddr_in6 v6;
    sockaddr_in v4;
    sockaddr any;
};

[[nodiscard]] int family_of(const ip_address& address);

// The length of the family's own record, as bind and connect take it.
[[nodiscard]] socklen_t length_of(const ip_address& address);

// Every local address of the family (INADDR_ANY, in6addr_any), port 0.
[[nodiscard]] ip_address any_address(int family);

// `port` in network byte order, as the service rule gives it.
void set_port(ip_address& address, std::uint16_t port);

// The port in host order, as the lines print it.
[[nodiscard]] int port_of(const ip_address& address);

enum class literal_result { read, not_an_address, unknown_zone };

// An IPv6 address in its text form, with an optional zone after a percent sign ("fe80::1%eth0")
// that names an interface, or gives its index, and becomes the scope id. Port 0.
[[nodiscard]] literal_result read_ipv6_literal(std::string_view text, ip_address* address);

// The address as the lines show it: dotted for IPv4, and for an IPv4 peer that reached an IPv6
// socket (never ::ffff:a.b.c.d); the standard IPv6 text otherwise, with the zone of a
// link-local address.
[[nodiscard]] std::string address_text(const ip_address& address);

// Whether the text is an IPv4 address that needs no lookup (what inet_aton reads).
[[nodiscard]] bool is_ipv4_literal(const char* text);

// The first address of a host name in `family`. AF_UNSPEC: the first IPv4 address, or the
// first IPv6 one of a name that has no IPv4 address. Returns -1 after reporting the failure
// under "gethostbyname" (the IPv4 lookup's reason when both were tried).
[[nodiscard]] int resolve_host(const char* name, int family, ip_address* address);
