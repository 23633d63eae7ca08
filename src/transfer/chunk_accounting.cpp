// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/chunk_accounting.hpp"

#include "state/run_state.hpp"
#include "transfer/checksum.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unistd.h>

void add_to_checksum(std::span<const unsigned char> bytes) {
    run_state.checksum =
        checksum_update(run_state.checksum, bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

void account_chunk(std::size_t length, std::span<const unsigned char> seen, bool with_dot) {
    if (has_flag(FLAG_SUM)) {
        add_to_checksum(seen);
    }
    run_state.byte_count += static_cast<std::int64_t>(length);
    if (with_dot) {
        std::fputc('.', stderr);
    }
}

namespace {

int echo_log_error = 0;  // the log's first failure
bool echo_log_error_told = false;

// Keeps the log's first failure; the ones after it say nothing new. A log that the interrupt
// handler closed under the write failed by no fault of its own.
void note_echo_log_failure(int error) {
    if (echo_log_error != 0 || (error == EBADF && interrupt_seen != 0)) {
        return;
    }
    echo_log_error = error;
}

}  // namespace

bool echo_log_failed() {
    return echo_log_error != 0;
}

int echo_log_failure_to_tell() {
    if (echo_log_error == 0 || echo_log_error_told) {
        return 0;
    }
    echo_log_error_told = true;
    return echo_log_error;
}

bool write_echo_record(echo_record& record) {
    const std::size_t label_length = std::strlen(record.label);
    while (record.written < label_length + record.bytes.size()) {
        const bool in_label = record.written < label_length;
        const void* next = in_label ? static_cast<const void*>(record.label + record.written)
                                    : record.bytes.data() + (record.written - label_length);
        const std::size_t left = in_label ? label_length - record.written
                                          : label_length + record.bytes.size() - record.written;
        const ssize_t written = write(run_state.echo_fd, next, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return false;
        }
        if (written <= 0) {
            // the log failed: this record is lost, the transfer goes on
            note_echo_log_failure(written < 0 ? errno : EIO);
            break;
        }
        record.written += static_cast<std::size_t>(written);
    }
    record = {};
    return true;
}

bool chunks_must_be_seen(bool echo_records) {
    return has_flag(FLAG_SUM) || (echo_records && echo_log_in_use());
}
