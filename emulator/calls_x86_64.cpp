// The x86_64 call numbers, from the kernel's own table.
#include "calls.h"

#include <asm/unistd_64.h>

namespace velmo::emu {

const CallNumbers kCallsX86_64{__NR_ioperm, __NR_iopl, __NR_ptrace, __NR_clone, __NR_clone3};

} // namespace velmo::emu
