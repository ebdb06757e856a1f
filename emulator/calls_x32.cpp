// The x32 call numbers, from the kernel's own table (each with
// __X32_SYSCALL_BIT), and whether this kernel runs them.
#include "calls.h"

#include <cerrno>

#include <asm/unistd_x32.h>
// asm/unistd.h defines the x32 bit, then includes the table of this
// build's own architecture, whose names would clash with the x32 ones:
// their guards keep them out.
#define _ASM_UNISTD_64_H
#define _ASM_UNISTD_32_H
#include <asm/unistd.h>

#include <unistd.h>

namespace velmo::emu {

const CallNumbers kCallsX32{__NR_ioperm, __NR_iopl, __NR_ptrace, __NR_clone, __NR_clone3};

bool kernel_runs_x32()
{
    return syscall(__NR_getpid) != -1 || errno != ENOSYS;
}

} // namespace velmo::emu
