// SPDX-License-Identifier: BSD-2-Clause
// The text of an error number with glibc: strerrordesc_np gives strerror's text without
// reading the locale, so a signal handler may call it.
#include "platform/platform.hpp"

#include <cstring>

const char* error_text_signal_safe(int error) {
    const char* text = strerrordesc_np(error);
    return text != nullptr ? text : "Unknown error";  // (a number glibc doesn't know)
}
