// The seccomp filter velmo-emu installs in the program before it starts.
//
// It stops ioperm and iopl, of whichever call table, at the tracer, which
// answers them from the board; it refuses ptrace (EPERM: a program under
// velmo-emu cannot trace, and so cannot stop velmo-emu or take its tasks)
// and clone with CLONE_UNTRACED (EPERM: every task stays traced), and
// answers clone3 ENOSYS, whose flags sit in memory out of the filter's
// reach: the C library then falls back to clone. Every other call passes.
#ifndef VELMO_EMU_FILTER_H
#define VELMO_EMU_FILTER_H

#include <cstdint>
#include <vector>

#include <linux/filter.h>

namespace velmo::emu {

// What the filter hands the tracer with a stop (SECCOMP_RET_DATA).
constexpr std::uint32_t kTraceIoperm = 1;
constexpr std::uint32_t kTraceIopl = 2;
constexpr std::uint32_t kTraceTime = 3; // a clock read, a sleep or a timer call

// The filter's program. x32: whether the x32 numbers are looked at too
// (only where the kernel runs x32 calls; elsewhere it answers them ENOSYS
// itself). time_calls: the time calls of the x86_64 and i386 tables are
// stopped too (a board or virtual clock; clock_calls.h).
std::vector<sock_filter> port_filter(bool x32, bool time_calls = false);

// Sets no_new_privs and installs program in the calling thread; false
// (errno set) when the kernel refuses.
bool install_filter(std::vector<sock_filter> &program);

} // namespace velmo::emu

#endif
