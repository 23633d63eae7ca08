// SPDX-License-Identifier: BSD-2-Clause
// A preloaded library for end-to-end tests: makes the C library calls named in
// FERROX_TEST_FAIL (comma-separated: getsockopt, socket, tcgetattr) fail with EINVAL (and
// sendfile, eintr_accept, eintr_connect, below, in their own ways), so the messages and the
// behaviour after such failures can be checked on the real binary; and appends a line to the
// file named by FERROX_TEST_TRACE for every tcsetattr call.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool told_to_fail(const char* call) {
    const char* list = std::getenv("FERROX_TEST_FAIL");
    return list != nullptr && std::strstr(list, call) != nullptr;
}

template <typename Function> Function next_definition(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
    if (told_to_fail("getsockopt")) {
        errno = EINVAL;
        return -1;
    }
    using function = int (*)(int, int, int, void*, socklen_t*);
    static const function real = next_definition<function>("getsockopt");
    return real(fd, level, name, value, length);
}

extern "C" int socket(int domain, int type, int protocol) {
    if (told_to_fail("socket")) {
        errno = EINVAL;
        return -1;
    }
    using function = int (*)(int, int, int);
    static const function real = next_definition<function>("socket");
    return real(domain, type, protocol);
}

extern "C" int tcgetattr(int fd, termios* attributes) {
    if (told_to_fail("tcgetattr")) {
        errno = EINVAL;
        return -1;
    }
    using function = int (*)(int, termios*);
    static const function real = next_definition<function>("tcgetattr");
    return real(fd, attributes);
}

extern "C" int tcsetattr(int fd, int when, const termios* attributes) {
    if (const char* trace = std::getenv("FERROX_TEST_TRACE")) {
        const int log = open(trace, O_WRONLY | O_CREAT | O_APPEND, 0644);
        const char line[] = "tcsetattr\n";
        [[maybe_unused]] auto written = write(log, line, sizeof line - 1);
        close(log);
    }
    using function = int (*)(int, int, const termios*);
    static const function real = next_definition<function>("tcsetattr");
    return real(fd, when, attributes);
}

// FERROX_TEST_FAIL=sendfile: a send by offset finds the file shorter than when its chunk
// was read (sendfile returns 0), as when the file shrinks in between. A build with 64-bit file
// offsets calls sendfile64, the other build sendfile: both are caught.
template <typename Offset>
ssize_t send_by_offset(const char* name, int out_fd, int in_fd, Offset* offset, size_t count) {
    if (told_to_fail("sendfile") && offset != nullptr) {
        return 0;
    }
    using function = ssize_t (*)(int, int, Offset*, size_t);
    const function real = next_definition<function>(name);
    return real(out_fd, in_fd, offset, count);
}

extern "C" ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count) {
    return send_by_offset("sendfile", out_fd, in_fd, offset, count);
}

extern "C" ssize_t sendfile64(int out_fd, int in_fd, long long* offset, size_t count) {
    return send_by_offset("sendfile64", out_fd, in_fd, offset, count);
}

// FERROX_TEST_FAIL=eintr_accept: the first accept is interrupted by a signal that doesn't end
// the run (as the SIGCONT after a stop) before a peer came.
extern "C" int accept(int fd, sockaddr* address, socklen_t* length) {
    static bool interrupted = false;
    if (told_to_fail("eintr_accept") && !interrupted) {
        interrupted = true;
        errno = EINTR;
        return -1;
    }
    using function = int (*)(int, sockaddr*, socklen_t*);
    static const function real = next_definition<function>("accept");
    return real(fd, address, length);
}

// FERROX_TEST_FAIL=eintr_connect: the first connect is interrupted the same way; the
// connection goes on by itself, and a second connect on the socket fails (EISCONN).
extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    static bool interrupted = false;
    using function = int (*)(int, const sockaddr*, socklen_t);
    static const function real = next_definition<function>("connect");
    const int result = real(fd, address, length);
    if (result == 0 && told_to_fail("eintr_connect") && !interrupted) {
        interrupted = true;
        errno = EINTR;
        return -1;
    }
    return result;
}
