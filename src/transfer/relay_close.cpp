// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/relay_close.hpp"

#include "endpoints/close_connection.hpp"

namespace {

bool close_failed(const close_end& end) {
    return end.kind == close_end::reset_by_peer || end.kind == close_end::timed_out;
}

}  // namespace

relay_close_end close_relay(int near_fd, int far_fd, int ended_fd, const close_terms& terms) {
    const bool near_ended_first = ended_fd == near_fd;
    const int first_fd = near_ended_first || ended_fd < 0 ? far_fd : near_fd;
    const int second_fd = first_fd == far_fd ? near_fd : far_fd;
    // The peer still open was the destination of a one-way stream at the end: its
    // acknowledgement says that its system has the bytes, not that its program could use them.
    close_terms first_terms = terms;
    first_terms.grace = ended_fd >= 0;
    relay_close_end end{};
    end.first_fd = first_fd;
    end.second_fd = second_fd;
    end.first = finish_orderly_close(first_fd, begin_orderly_close(first_fd), first_terms);
    if (close_failed(end.first)) {
        end.second = {close_end::reset_by_peer, 0, undelivered_bytes(second_fd, false)};
        close_with_reset(second_fd);
        end.cut = true;
        return end;
    }
    end.second = finish_orderly_close(second_fd, begin_orderly_close(second_fd), terms);
    return end;
}
