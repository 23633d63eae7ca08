// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/socket_buffers.hpp"

#include "state/run_state.hpp"

#include <cstdio>
#include <sys/socket.h>

namespace {

// `label` null: a failure goes unreported (it is reported when the connected socket is sized).
void set_buffer_size(int fd, int option, const char* label) {
    const int size = run_state.sockbuf_size;
    if (setsockopt(fd, SOL_SOCKET, option, &size, sizeof size) != 0 && label != nullptr) {
        std::perror(label);
    }
}

// A failed read-back leaves `size` as it was: the requested size, or 0 when none was set.
void read_buffer_size(int fd, int option, const char* label, int* size) {
    socklen_t length = sizeof *size;
    if (getsockopt(fd, SOL_SOCKET, option, size, &length) != 0) {
        std::perror(label);
    }
}

}  // namespace

void size_socket_buffers_early(int fd) {
    if (run_state.sockbuf_size != 0) {
        set_buffer_size(fd, SO_SNDBUF, nullptr);
        set_buffer_size(fd, SO_RCVBUF, nullptr);
    }
}

void tune_socket_buffers(const descriptor_field* slot) {
    if (run_state.sockbuf_size != 0) {
        set_buffer_size(*slot, SO_SNDBUF, "setsockopt:SO_SNDBUF");
        set_buffer_size(*slot, SO_RCVBUF, "setsockopt:SO_RCVBUF");
    }
    if (has_flag(FLAG_VERBOSE)) {
        int send_size = run_state.sockbuf_size;
        int receive_size = run_state.sockbuf_size;
        read_buffer_size(*slot, SO_SNDBUF, "getsockopt:SO_SNDBUF", &send_size);
        read_buffer_size(*slot, SO_RCVBUF, "getsockopt:SO_RCVBUF", &receive_size);
        std::fprintf(stderr, "using %d byte socket send buffer\n", send_size);
        std::fprintf(stderr, "using %d byte socket recv buffer\n", receive_size);
    }
}
