// SPDX-License-Identifier: BSD-2-Clause
// --host splits at the first colon, or after the closing bracket of an IPv6 address: host,
// colon and port give back the argument. A host without brackets holds no colon; a bracketed
// host is one pair of brackets; a bracket that isn't closed properly leaves the whole argument
// as the host.
#include "cmdline/address_forms.hpp"
#include "cmdline/options.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string argument(reinterpret_cast<const char*>(data), size);
    const host_and_port parts = split_host_port(argument);
    if (parts.port) {
        FUZZ_CHECK(std::string(parts.host) + ":" + std::string(*parts.port) == argument);
    } else {
        FUZZ_CHECK(parts.host == argument);
    }
    switch (read_brackets(argument).form) {
    case bracket_form::none: FUZZ_CHECK(parts.host.find(':') == std::string_view::npos); break;
    case bracket_form::closed:
        FUZZ_CHECK(parts.host.front() == '[' && parts.host.back() == ']');
        FUZZ_CHECK(parts.host.find(']') == parts.host.size() - 1);
        break;
    case bracket_form::malformed: FUZZ_CHECK(parts.host == argument && !parts.port); break;
    }
    return 0;
}
