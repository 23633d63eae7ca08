// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Prints an endpoint's connection line: on standard error unless --quiet, then into the
// echo log when it is in use, whether or not --quiet is given.
[[gnu::format(printf, 1, 2)]] void announce_connection(const char* format, ...);

// The same line on standard error only (the TCP listening line never reaches the echo log).
[[gnu::format(printf, 1, 2)]] void announce_on_stderr(const char* format, ...);
