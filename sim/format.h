// printf into a std::string, for the short texts of the board's trace and
// its file (at most 127 characters).
#ifndef VELMO_SIM_FORMAT_H
#define VELMO_SIM_FORMAT_H

#include <string>

namespace velmo::sim {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace velmo::sim

#endif
