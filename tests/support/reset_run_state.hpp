// SPDX-License-Identifier: BSD-2-Clause
// Gives back a fresh run_state between in-process scans, releasing the texts of the last.
#pragma once

#include "driver/run_state.hpp"

#include <cstdlib>

inline void reset_run_state() {
    for (char* text : {run_state.listen_port, run_state.echo_path, run_state.connect_port,
                       run_state.host, run_state.bind_port}) {
        std::free(text);
    }
    std::free(run_state.timeout);
    run_state = run_state_record{};
    buffer_size = 65536;
}
