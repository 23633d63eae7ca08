// SPDX-License-Identifier: BSD-2-Clause
// TCP over IPv4 and IPv6: the connect, listen and accept operations of a connection cycle.
#pragma once

#include "state/run_state.hpp"

#include <cstdint>
#include <optional>

// Port from a text by the service rule: a "tcp" service entry when one exists, otherwise
// the number (0 for a text that is no number). Network byte order. Nothing, after a line
// that says so, for a number outside 0 to 65535.
[[nodiscard]] std::optional<std::uint16_t> service_port(const char* text);

[[nodiscard]] int tcp_connect(descriptor_field* slot, const char* host, const char* port);
[[nodiscard]] int tcp_listen(descriptor_field* slot, const char* host, const char* port);
[[nodiscard]] int tcp_accept(descriptor_field* slot, int listening_fd);
