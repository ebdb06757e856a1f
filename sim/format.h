// Texts for the board's trace, its file and messages about files.
#ifndef VELMO_SIM_FORMAT_H
#define VELMO_SIM_FORMAT_H

#include <string>

#include <sys/types.h>

namespace velmo::sim {

// printf into a std::string, for short texts (at most 127 characters).
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// What a path that is not a regular file is, for messages: "is a
// directory", "is a FIFO", "is a socket", "is a block device", "is a
// character device".
const char *file_kind(mode_t mode);

} // namespace velmo::sim

#endif
