// Two-way relay between a near side and a far side, and the echo log's data records.
#pragma once

enum class relay_end {
    finished,       // a side ended or failed, a wait failed, or the idle timeout passed
    not_started,    // a descriptor is beyond what select can watch; reported
    output_failed,  // writing standard output failed (not a peer that went away); reported
};

// Copies what becomes readable on near_in to far_out (echo label "L: ") and what becomes
// readable on far_in to near_out (echo label "H: "), one chunk at a time, until either side
// ends or fails, a wait fails, or both sides stay idle past --timeout.
[[nodiscard]] relay_end relay_loop(int near_in, int far_in, int near_out, int far_out);
