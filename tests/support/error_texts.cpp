// SPDX-License-Identifier: BSD-2-Clause
// Prints the C library's text for every error number from 0 to 255, one "NUMBER TEXT" line
// each, and for each resolver error (h_errno) that herror names, "hNUMBER TEXT". Built with
// the toolchain of a ferrox that runs on another C library (the static musl build), it
// tells the end-to-end tests, which are linked with glibc, the words that that ferrox's
// perror and herror print: FERROX_TEST_ERROR_TEXTS names it.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <netdb.h>

int main() {
    for (int error = 0; error < 256; ++error) {
        std::printf("%d %s\n", error, std::strerror(error));
    }
    for (int error : {HOST_NOT_FOUND, TRY_AGAIN, NO_RECOVERY, NO_DATA}) {
        std::printf("h%d %s\n", error, hstrerror(error));
    }
    return 0;
}
