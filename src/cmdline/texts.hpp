// SPDX-License-Identifier: BSD-2-Clause
// The information texts of --help, --version and --credits, on standard output.
#pragma once

void show_usage();
void show_version();
void show_credits();
