// Texts for the board's trace and its file.
#ifndef VELMO_SIM_FORMAT_H
#define VELMO_SIM_FORMAT_H

#include <string>

namespace velmo::sim {

// printf into a std::string, for short texts (at most 127 characters).
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace velmo::sim

#endif
