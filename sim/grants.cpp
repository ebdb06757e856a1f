#include "grants.h"

#include <cerrno>
#include <cstddef>

namespace velmo::sim {

int Grants::request(unsigned long long from, unsigned long long num, int turn_on, int refusal)
{
    constexpr unsigned long long kPortCount = 65536;
    if (refusal == ENOSYS) {
        return ENOSYS;
    }
    if (num == 0 || from >= kPortCount || num > kPortCount - from) {
        return EINVAL;
    }
    if (turn_on != 0 && refusal != 0) {
        return refusal;
    }
    for (auto port = static_cast<std::size_t>(from); port < static_cast<std::size_t>(from + num); ++port) {
        bits_[port] = turn_on != 0;
    }
    return 0;
}

} // namespace velmo::sim
