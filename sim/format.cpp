#include "format.h"

#include <cstdarg>
#include <cstdio>

namespace velmo::sim {

std::string format(const char *fmt, ...)
{
    char text[128];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

} // namespace velmo::sim
