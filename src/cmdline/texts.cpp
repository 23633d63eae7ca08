// SPDX-License-Identifier: BSD-2-Clause
#include "cmdline/texts.hpp"

#include "cmdline/version.hpp"
#include "state/run_state.hpp"

#include <cstdio>

namespace {

// clang-format off
constexpr const char* option_lines[] = {
    " Options are:\n",
    "  -B, --socket-buffer <n[kKmM]>\tuse n byte socket buffer\n",
    "  -b, --buffer-size <n[kKmM]>\tuse n byte buffer\n",
    "  -c, --continue\t\tcontinue to accept connections\n",
    "  -e, --echo <file>\t\techo data to file\n",
    "  -h, --host <host>[:<port>]\thost to connect to\n",
    "  -i, --input\t\t\twhen listening input from stdin\n",
    "  -l, --listen <port>\t\tlisten for connections on port\n",
    ("  -n, --nobuf\t\t\tif stdin is a terminal do not use line \n"
     "\t\t\t\tbuffering. generate a SIGQUIT (CTRL-\\) to stop \n"
     "\t\t\t\tor use a timeout\n"),
    "  -o, --output\t\t\twhen connecting output to stdout\n",
    "  -p, --port <port>\t\tuse port for connect or listen\n",
    "  -P, --bind-port <port>\tuse port for binded connects (ipaddr:port works)\n",
    "  -s, --sum\t\t\tprint Adler32 checksum\n",
    "  -q, --quiet\t\t\tdon't print extra info\n",
    "  -t, --timeout <period>\tused only when both -i and -o are specified\n",
    "  -u, --unix-host <file>\taf_unix file to connect to\n",
    "  -U, --unix-listen <file>\tlisten for connections on af_unix file\n",
    ("  -v, --verbose\t\t\tprint progress dots for stdin/out, usually dots \n"
     "\t\t\t\tare only printed for sending files\n"),
    "      --help\t\t\tdisplay this help and exit\n",
    "      --version\t\t\toutput version information and exit\n",
    "      --credits\t\t\tprint the credits and exit\n",
    "\n",
    "using --input and --output basicly swap the roles of the\n",
};
// clang-format on

}  // namespace

void show_usage() {
    std::fputs("useage: ", stdout);
    std::printf("%s [options] [file]...\n\n", run_state.progname);
    for (const char* line : option_lines) {
        std::fputs(line, stdout);
    }
    std::printf("client/server version of %s.\n", run_state.progname);
    std::fputs("\n", stdout);
}

void show_version() {
    std::printf("%s: - %s - $Id: ferrox,v 1.24 2000/01/23 01:19:22 quillet Exp $\n",
                run_state.progname, version_number);
}

void show_credits() {
    std::fputs("AUTHORS / CONTRIBUTORS\n", stdout);
    std::fputs("  The ferrox developers <ferrox@example.org>\n", stdout);
    std::fputs("\n", stdout);
}
