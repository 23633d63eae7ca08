// SPDX-License-Identifier: BSD-2-Clause
// --host splits at the first colon: the host part holds no colon, and host, colon and port
// give back the argument.
#include "cmdline/options.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string argument(reinterpret_cast<const char*>(data), size);
    const host_and_port parts = split_host_port(argument);
    FUZZ_CHECK(parts.host.find(':') == std::string_view::npos);
    if (parts.port) {
        FUZZ_CHECK(std::string(parts.host) + ":" + std::string(*parts.port) == argument);
    } else {
        FUZZ_CHECK(parts.host == argument);
    }
    return 0;
}
