// velmogpio: the board's lines from the shell, one command per action.
#ifndef VELMO_TOOLS_VELMOGPIO_CLI_H
#define VELMO_TOOLS_VELMOGPIO_CLI_H

#include <cstdio>

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1; // the library refused an operation
constexpr int kExitUsage = 2;  // bad arguments; no port was touched

// Runs one command line; writes results to out and messages to err.
int velmogpio_main(int argc, const char *const argv[], std::FILE *out, std::FILE *err);

#endif
