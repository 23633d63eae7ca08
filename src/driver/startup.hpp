// SPDX-License-Identifier: BSD-2-Clause
// Start-up: from the scanned options to the first connection cycle.
#pragma once

#include <cstdint>

enum class startup_refusal {
    none,
    bind_port_without_connect,  // --bind-port in a run that doesn't connect
    relay_without_target,       // a relay with no port or path to connect onward to
    port_without_role,          // --port alone: neither listening nor connecting
    operands_while_receiving,   // file operands in a mode that receives
};

struct resolved_mode {
    std::uint32_t flags;
    startup_refusal refusal;
};

// Completes the transfer mode that the options leave open (relay completion, direction
// defaults) and finds the first combination that start-up refuses.
[[nodiscard]] resolved_mode resolve_mode(std::uint32_t flags, bool has_bind_port,
                                         bool has_connect_port, int operand_count);

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when the process started without
// them), so that no socket or file can take a standard descriptor's number, and notes in
// run_state.closed_at_start which of them were closed.
void reserve_standard_descriptors();

// Everything from the first step of main to the point where the connection loop starts.
// Exits with status 1 on a refused combination or an echo log that can't be opened.
// Returns the index of the first file operand.
[[nodiscard]] int start_up(int argc, char** argv);

#include "transfer/copy.hpp"

// The copy operations chosen once at start-up: one for standard input and output, one for
// file operands.
extern copy_fn_type stdio_copy;
extern copy_fn_type file_copy;
