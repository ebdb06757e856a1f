// The i386 call numbers, from the kernel's own table.
#include "calls.h"

#include <asm/unistd_32.h>

namespace velmo::emu {

const CallNumbers kCallsI386{__NR_ioperm, __NR_iopl, __NR_ptrace, __NR_clone, __NR_clone3};

} // namespace velmo::emu
