// The names velmo-board still uses from before the command-line library:
// they go once it includes cli.h itself.
#ifndef VELMO_TOOLS_ARGUMENTS_H
#define VELMO_TOOLS_ARGUMENTS_H

#include "cli.h"

using velmo::cli::parse_line;
using velmo::cli::Usage;

inline std::int64_t parse_timeout(const std::string &text)
{
    return velmo::cli::parse_timeout("--timeout", text);
}

#endif
