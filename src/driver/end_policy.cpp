// SPDX-License-Identifier: BSD-2-Clause
#include "driver/end_policy.hpp"

#include "platform/descriptor.hpp"
#include "platform/platform.hpp"
#include "state/run_state.hpp"
#include "transfer/chunk_accounting.hpp"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

void report_failure(const char* label, int error) {
    if (error == source_changed_error) {
        std::fprintf(stderr, "%s: file changed while being sent\n", label);
        return;
    }
    errno = error;
    std::perror(label);
}

// A TCP write that finds the connection shut (EPIPE, once a call has taken the reset's own
// error) met a reset: we never write after shutting our side down.
int error_of_write(const transfer_end& end) {
    const bool reset = end.error == EPIPE && is_socket(end.fd) && socket_is_tcp(end.fd);
    return reset ? ECONNRESET : end.error;
}

// Whether the end is a quiet one: the progress line ends in " done.".
bool ended_quietly(const transfer_end& end) {
    switch (end.kind) {
    case transfer_end::completed:
    case transfer_end::interrupted: return true;
    case transfer_end::timed_out: return !end.stranded;
    case transfer_end::source_failed:
    case transfer_end::destination_failed: return failed_by_interrupt(end.error);
    case transfer_end::wait_failed: break;
    }
    return false;
}

void close_progress_line(bool quietly) {
    if (run_state.progress_line_open != 0) {
        std::fputs(quietly ? " done.\n" : "\n", stderr);
        run_state.progress_line_open = 0;
    }
}

struct status_and_cut {
    int status;
    bool cut;
};

status_and_cut report(const transfer_end& end, const end_labels& labels) {
    switch (end.kind) {
    case transfer_end::completed: return {0, false};
    case transfer_end::interrupted:
        if (labels.two_way) {
            report_failure("select", EBADF);  // the interrupt closed what the wait watched
        }
        return {0, false};
    case transfer_end::timed_out:
        std::fputs("timeout\n", stderr);
        return end.stranded ? status_and_cut{1, true} : status_and_cut{0, false};
    case transfer_end::wait_failed: report_failure("select", end.error); return {1, true};
    case transfer_end::source_failed:
    case transfer_end::destination_failed: break;
    }
    if (failed_by_interrupt(end.error)) {
        return {0, false};  // the interrupt handler closed the descriptor under the call
    }
    if (end.kind == transfer_end::source_failed) {
        report_failure(labels.read_label, end.error);
    } else {
        report_failure("write", error_of_write(end));
    }
    return {1, true};
}

}  // namespace

end_verdict judge_unopened_file(const char* name, int error) {
    report_failure(name, error);
    end_verdict verdict{};
    verdict.status = 1;
    return verdict;
}

void report_file_close_failure(const char* name, int error) {
    report_failure(name, error);
}

end_verdict judge_closed_output() {
    // /dev/null holds the number only to keep it from a socket: nothing written reaches anyone
    return judge_end({transfer_end::destination_failed, EBADF, STDOUT_FILENO}, {"read", false});
}

int judge_run(int cycles_status) {
    return cycles_status | (echo_log_failed() ? 1 : 0);
}

// The echo log's first failure, in one line under its path as tee gives it.
void report_echo_log_failure() {
    if (const int error = echo_log_failure_to_tell(); error != 0) {
        report_failure(run_state.echo_path, error);
    }
}

end_verdict judge_end(const transfer_end& end, const end_labels& labels) {
    close_progress_line(ended_quietly(end));
    report_echo_log_failure();
    const status_and_cut judged = report(end, labels);
    int undelivered = 0;
    for (const lane_facts& each : end.lanes) {
        undelivered += each.unacknowledged;
    }
    return {judged.status, judged.cut, end.standard_input_ended,
            end.kind == transfer_end::interrupted, undelivered};
}
