#include "format.h"

#include <cstdarg>
#include <cstdio>

#include <sys/stat.h>

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

const char *file_kind(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return "is a directory";
    }
    if (S_ISFIFO(mode)) {
        return "is a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "is a socket";
    }
    if (S_ISBLK(mode)) {
        return "is a block device";
    }
    if (S_ISCHR(mode)) {
        return "is a character device";
    }
    return "is not a regular file";
}

} // namespace velmo::sim
