// SPDX-License-Identifier: BSD-2-Clause
// Gives back a fresh run_state between in-process scans, releasing the texts of the last.
#pragma once

#include "state/run_state.hpp"

#include <cstdlib>
#include <memory>

inline void reset_run_state() {
    for (char* text : {run_state.listen_port, run_state.echo_path, run_state.connect_port,
                       run_state.host, run_state.bind_port}) {
        std::free(text);
    }
    std::free(run_state.timeout);
    // The record holds an atomic, which can't be assigned: a fresh record takes its place.
    std::destroy_at(&run_state);
    std::construct_at(&run_state);
    buffer_size = 65536;
    buffer_size_given = false;
}
