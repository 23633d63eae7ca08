// Two-way relay between a near side and a far side, and the echo log's data records.
#pragma once

// Copies what becomes readable on near_in to far_out (echo label "L: ") and what becomes
// readable on far_in to near_out (echo label "H: "), one chunk at a time, until either side
// ends or fails, a wait fails, or both sides stay idle past --timeout. Returns false when
// the transfer could not start because a descriptor is beyond what select can watch.
[[nodiscard]] bool relay_loop(int near_in, int far_in, int near_out, int far_out);
