// velmo-board's watch: a live panel on a terminal, or one timestamped line
// per change for a log.
#ifndef VELMO_TOOLS_BOARD_PANEL_H
#define VELMO_TOOLS_BOARD_PANEL_H

#include "board_file.h"

// velmo-board watch on file until q, the end of input, or SIGINT/SIGTERM/
// SIGHUP: a panel when standard output is a terminal, a log line per
// change otherwise. Returns the exit status.
int run_watch(velmo::sim::BoardFile &file);

#endif
