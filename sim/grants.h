// The kernel's side of port access: which ports one task may touch, and
// how ioperm(2) answers a request for more.
//
// The kernel keeps this per thread (the I/O permission bitmap of the task);
// whoever models several tasks keeps one Grants for each.
#ifndef VELMO_SIM_GRANTS_H
#define VELMO_SIM_GRANTS_H

#include <bitset>
#include <cstdint>

namespace velmo::sim {

class Grants {
public:
    // ioperm(from, num, turn_on) as the kernel answers it: 0, or the errno.
    // refusal is what the kernel says to a request to turn ports on: 0 for
    // a task that may (CAP_SYS_RAWIO, no lockdown), EPERM for one that may
    // not, ENOSYS for a kernel without ioperm at all (which answers every
    // call so, before looking at it), or any other errno to model.
    //
    // The kernel's order: ENOSYS first, then EINVAL for a range that is
    // empty or passes 0xFFFF, then the refusal. Turning ports off is always
    // allowed.
    int request(unsigned long long from, unsigned long long num, int turn_on, int refusal);

    bool granted(std::uint16_t port) const { return bits_[port]; }
    bool any() const { return bits_.any(); }

private:
    std::bitset<65536> bits_;
};

} // namespace velmo::sim

#endif
