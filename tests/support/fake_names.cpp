// SPDX-License-Identifier: BSD-2-Clause
// A preloaded library for end-to-end tests: two host names that no resolver of this machine
// needs to know, so that how ferrox picks between IPv4 and IPv6 can be seen on loopback.
//   ipv6-only.ferrox.test   has ::1 and no IPv4 address
//   dual-stack.ferrox.test  has 127.0.0.1 and ::1
// Their answers are the C library's own for the addresses themselves; every other name goes
// to the C library unchanged.
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <sys/socket.h>

namespace {

constexpr char ipv6_only[] = "ipv6-only.ferrox.test";
constexpr char dual_stack[] = "dual-stack.ferrox.test";

bool is(const char* name, const char* fake) {
    return name != nullptr && std::strcmp(name, fake) == 0;
}

template <typename Function> Function next_definition(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" hostent* gethostbyname(const char* name) {
    using function = hostent* (*)(const char*);
    static const function real = next_definition<function>("gethostbyname");
    if (is(name, ipv6_only)) {
        h_errno = NO_DATA;
        return nullptr;
    }
    return real(is(name, dual_stack) ? "127.0.0.1" : name);
}

extern "C" int getaddrinfo(const char* name, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    using function = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const function real = next_definition<function>("getaddrinfo");
    if (!is(name, ipv6_only) && !is(name, dual_stack)) {
        return real(name, service, hints, result);
    }
    const int family = hints != nullptr ? hints->ai_family : AF_UNSPEC;
    if (family == AF_INET) {
        return is(name, ipv6_only) ? EAI_NONAME : real("127.0.0.1", service, hints, result);
    }
    return real("::1", service, hints, result);
}
