// Port access is the kernel's to give, and it gives it only for
// CAP_SYS_RAWIO (ioperm, iopl, /dev/port). Neither velmo-emu nor whatever
// it runs holds it, so no path to a real port is left to the program or to
// anything it starts, traced or not; nor can the program reach into
// velmo-emu, which it could otherwise use as a way round the tracer.
#ifndef VELMO_EMU_CAPABILITIES_H
#define VELMO_EMU_CAPABILITIES_H

#include <initializer_list>

namespace velmo::emu {

// Removes each capability of caps from every set the calling process
// holds it in: the bounding set (no exec brings it back, not even root's),
// the ambient, inheritable, permitted and effective sets. The bounding set
// needs CAP_SETPCAP to change; without it (an unprivileged user) it is
// left, and no_new_privs keeps any exec from adding to the permitted set.
// Returns 0, or the errno of the step the kernel refused. Safe between
// fork and exec: no allocation.
int drop_capabilities(std::initializer_list<int> caps);

// What velmo-emu gives up for itself, first thing, before it opens a file
// or starts anything: CAP_SYS_RAWIO everywhere; gains by exec
// (no_new_privs); and its memory and descriptors to anyone without
// CAP_SYS_PTRACE (not dumpable: /proc/PID/mem, process_vm_writev,
// pidfd_getfd and ptrace refused). 0, or the errno, with the step in what.
int give_up_privileges(const char *&what);

// What the program loses beside that, between fork and exec: the ways to
// write into another process (CAP_SYS_PTRACE) or into the kernel
// (CAP_SYS_MODULE), either of which would reach velmo-emu or the ports.
int drop_program_capabilities();

} // namespace velmo::emu

#endif
