// velmogpio watch: edges on the named lines as they happen, the
// counterpart of gpiomon for a board whose lines can only be polled.
#ifndef VELMO_TOOLS_VELMOGPIO_WATCH_H
#define VELMO_TOOLS_VELMOGPIO_WATCH_H

#include <cstdio>
#include <string>
#include <vector>

// velmogpio watch LINE... [--edge rising|falling|both] [--count N]
//                 [--timeout SECONDS] [--interval MS]
// args are those after "watch". Returns the exit status: 0 after --count
// events (or at SIGINT/SIGTERM), 1 at the timeout or when the library
// refuses. Bad arguments, checked before any port is touched, throw Usage
// (cli.h), which velmogpio_main reports with status 2.
int velmogpio_watch(const std::vector<std::string> &args, std::FILE *out, std::FILE *err);

#endif
