// velmogpio: the board's lines from the shell, one command per action.
#ifndef VELMO_TOOLS_VELMOGPIO_CLI_H
#define VELMO_TOOLS_VELMOGPIO_CLI_H

#include <cstdio>

// Runs one command line; writes results to out and messages to err. The
// exit statuses are velmo::cli's: 0 done, 1 the library refused an
// operation, 2 bad arguments (no port was touched).
int velmogpio_main(int argc, const char *const argv[], std::FILE *out, std::FILE *err);

// Says why the library refused the call that just failed; returns 1.
int velmogpio_failed(std::FILE *err);

#endif
