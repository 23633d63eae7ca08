#pragma once

// Applies --socket-buffer to both buffers of a connected or accepted socket and, under
// --verbose, reports the sizes the system then uses. Failures are reported and passed over.
void tune_socket_buffers(const int* slot);
