// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/ip_address.hpp"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netdb.h>

namespace {

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// An interface name, or the number of an interface that exists; 0 for neither.
unsigned zone_index(const std::string& zone) {
    if (const unsigned index = if_nametoindex(zone.c_str()); index != 0) {
        return index;
    }
    if (!all_digits(zone)) {
        return 0;
    }
    const auto index = static_cast<unsigned>(std::strtoul(zone.c_str(), nullptr, 10));
    char name[IF_NAMESIZE];
    return if_indextoname(index, name) != nullptr ? index : 0;
}

// The h_errno that names a getaddrinfo failure in herror's words.
int resolver_error(int gai_error) {
    switch (gai_error) {
    case EAI_AGAIN: return TRY_AGAIN;
    case EAI_FAIL: return NO_RECOVERY;
    default: return HOST_NOT_FOUND;
    }
}

// 0 with the first IPv6 address of the name, or getaddrinfo's error.
int first_ipv6_address(const char* name, ip_address* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(name, nullptr, &hints, &found);
    if (error == 0) {
        *address = {};
        std::memcpy(&address->v6, found->ai_addr, sizeof address->v6);
        freeaddrinfo(found);
    }
    return error;
}

}  // namespace

int family_of(const ip_address& address) {
    return address.any.sa_family;
}

socklen_t length_of(const ip_address& address) {
    return family_of(address) == AF_INET6 ? sizeof address.v6 : sizeof address.v4;
}

ip_address any_address(int family) {
    ip_address address{};
    if (family == AF_INET6) {
        address.v6.sin6_family = AF_INET6;
        address.v6.sin6_addr = in6addr_any;
    } else {
        address.v4.sin_family = AF_INET;
        address.v4.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    return address;
}

void set_port(ip_address& address, std::uint16_t port) {
    if (family_of(address) == AF_INET6) {
        address.v6.sin6_port = port;
    } else {
        address.v4.sin_port = port;
    }
}

int port_of(const ip_address& address) {
    return ntohs(family_of(address) == AF_INET6 ? address.v6.sin6_port : address.v4.sin_port);
}

literal_result read_ipv6_literal(std::string_view text, ip_address* address) {
    *address = {};
    address->v6.sin6_family = AF_INET6;
    const auto percent = text.find('%');
    const std::string numbers(text.substr(0, percent));
    if (inet_pton(AF_INET6, numbers.c_str(), &address->v6.sin6_addr) != 1) {
        return literal_result::not_an_address;
    }
    if (percent != std::string_view::npos) {
        address->v6.sin6_scope_id = zone_index(std::string(text.substr(percent + 1)));
        if (address->v6.sin6_scope_id == 0) {
            return literal_result::unknown_zone;
        }
    }
    return literal_result::read;
}

std::string address_text(const ip_address& address) {
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 1] = "";
    if (family_of(address) == AF_INET) {
        inet_ntop(AF_INET, &address.v4.sin_addr, text, sizeof text);
    } else if (IN6_IS_ADDR_V4MAPPED(&address.v6.sin6_addr)) {
        inet_ntop(AF_INET, &address.v6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
        getnameinfo(&address.any, sizeof address.v6, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    }
    return text;
}

bool is_ipv4_literal(const char* text) {
    in_addr ignored{};
    return inet_aton(text, &ignored) != 0;
}

int resolve_host(const char* name, int family, ip_address* address) {
    int error = HOST_NOT_FOUND;
    if (family != AF_INET6) {
        if (const hostent* entry = gethostbyname(name)) {
            *address = {};
            address->v4.sin_family = AF_INET;
            std::memcpy(&address->v4.sin_addr, entry->h_addr_list[0], sizeof address->v4.sin_addr);
            return 0;
        }
        error = h_errno;
    }
    if (family != AF_INET) {
        const int ipv6_error = first_ipv6_address(name, address);
        if (ipv6_error == 0) {
            return 0;
        }
        if (family == AF_INET6) {
            error = resolver_error(ipv6_error);
        }
    }
    h_errno = error;
    herror("gethostbyname");
    return -1;
}
