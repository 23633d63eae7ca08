// SPDX-License-Identifier: BSD-2-Clause
#include "state/run_state.hpp"

run_state_record run_state{};
int buffer_size = 65536;
bool buffer_size_given = false;
volatile std::sig_atomic_t interrupt_seen = 0;
