// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/chunk_accounting.hpp"

#include "state/run_state.hpp"
#include "transfer/checksum.hpp"
#include "transfer/write_all.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

void add_to_checksum(std::span<const unsigned char> bytes) {
    run_state.checksum =
        checksum_update(run_state.checksum, bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

void account_chunk(std::size_t length, std::span<const unsigned char> seen, const char* echo_label,
                   bool with_dot) {
    if (has_flag(FLAG_SUM)) {
        add_to_checksum(seen);
    }
    if (echo_label != nullptr && echo_log_in_use()) {
        // A lost echo record must not stop the transfer; its result is not examined.
        [[maybe_unused]] bool label_written =
            write_all(run_state.echo_fd, echo_label, std::strlen(echo_label));
        [[maybe_unused]] bool chunk_written =
            write_all(run_state.echo_fd, seen.data(), seen.size());
    }
    run_state.byte_count += static_cast<std::int64_t>(length);
    if (with_dot) {
        std::fputc('.', stderr);
    }
}

bool chunks_must_be_seen(bool echo_records) {
    return has_flag(FLAG_SUM) || (echo_records && echo_log_in_use());
}
