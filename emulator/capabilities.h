// Port access is the kernel's to give, and it gives it only for
// CAP_SYS_RAWIO (ioperm, iopl, /dev/port). Whatever velmo-emu runs holds
// none of it, so no path to a real port is left to the program or to
// anything it starts, traced or not.
#ifndef VELMO_EMU_CAPABILITIES_H
#define VELMO_EMU_CAPABILITIES_H

namespace velmo::emu {

// Removes CAP_SYS_RAWIO from every set the calling process holds it in:
// the bounding set (no exec brings it back, not even root's), the ambient,
// inheritable, permitted and effective sets. The bounding set needs
// CAP_SETPCAP to change; without it (an unprivileged user) it is left, and
// the no_new_privs that the filter sets keeps any exec from adding to the
// permitted set. Returns 0, or the errno of the step the kernel refused.
// Safe between fork and exec: no allocation.
int drop_raw_io();

} // namespace velmo::emu

#endif
